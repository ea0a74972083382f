#include <gtest/gtest.h>

#include "session/report_line.h"

namespace {

TEST(ReportLine, TxDataOnClosedPortReadsAsTheSystemWordsIt) {
  EXPECT_EQ(mv::ReportLine("1", 0, "TxData", "COM port not open", "/src/serial/TDVXCOMPort.cpp", 412, 0),
            "COM1: ERROR: TxData(): COM port not open.\rTDVXCOMPort.cpp line 412.");
}

TEST(ReportLine, PrefixFollowsTheReportTypeAndUnknownTypesHaveNone) {
  const char* expected[] = {"COM3: ERROR: f(): d.\rx line 1.", "COM3: WARNING: f(): d.\rx line 1.",
                            "COM3: INFO: f(): d.\rx line 1.", "COM3: DEBUG: f(): d.\rx line 1."};
  for (int t = 0; t < 4; ++t) EXPECT_EQ(mv::ReportLine("3", t, "f", "d", "x", 1, 0), expected[t]) << t;
  EXPECT_EQ(mv::ReportLine("3", 4, "f", "d", "x", 1, 0), "COM3: f(): d.\rx line 1.");
  EXPECT_EQ(mv::ReportLine("3", -1, "f", "d", "x", 1, 0), "COM3: f(): d.\rx line 1.");
}

TEST(ReportLine, PlatformErrorIsShownInBracketsOnlyWhenNonZero) {
  EXPECT_EQ(mv::ReportLine("12", 0, "OpenCOMPort", "CreateFileA", "TDVXCOMPort", 7, 2),
            "COM12: ERROR: OpenCOMPort(): CreateFileA (2).\rTDVXCOMPort line 7.");
  EXPECT_EQ(mv::ReportLine("12", 1, "Close", "COM port already closed", "TDVXCOMPort", 9, 0),
            "COM12: WARNING: Close(): COM port already closed.\rTDVXCOMPort line 9.");
  // Negative codes are still codes.
  EXPECT_EQ(mv::ReportLine("1", 0, "a", "b", "c", 0, -5), "COM1: ERROR: a(): b (-5).\rc line 0.");
}

TEST(ReportLine, OnlyTheFileNameOfTheSourceIsKept) {
  EXPECT_EQ(mv::FileNamePart("/a/b/TDVXCOMRxThread.cpp"), "TDVXCOMRxThread.cpp");
  EXPECT_EQ(mv::FileNamePart("C:\\src\\TDVXCOMTxThread.cpp"), "TDVXCOMTxThread.cpp");
  EXPECT_EQ(mv::FileNamePart("mixed/dir\\unit"), "unit");
  EXPECT_EQ(mv::FileNamePart("plain"), "plain");
  EXPECT_EQ(mv::FileNamePart("trailing/"), "");
  EXPECT_EQ(mv::FileNamePart(""), "");
}

TEST(ReportLine, EmptyPiecesAndLongTextsKeepTheLayout) {
  EXPECT_EQ(mv::ReportLine("", 0, "", "", "", 0, 0), "COM: ERROR: (): .\r line 0.");
  const std::string desc(5000, 'x');
  const std::string line = mv::ReportLine("1", 2, "f", desc, "u", 3, 0);
  EXPECT_EQ(line.size(), std::string("COM1: INFO: f(): .\ru line 3.").size() + desc.size());
  EXPECT_EQ(line.find('\r'), line.rfind('\r'));  // exactly one CR, no LF
  EXPECT_EQ(line.find('\n'), std::string::npos);
}

}  // namespace
