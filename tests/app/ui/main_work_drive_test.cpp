// Drive information, activation and profile transfer from the main window's
// buttons, against the simulated drive.
#include <QRegularExpression>
#include <cstdio>
#include <sstream>

#include "app/ui/main_work_support.h"
#include "support/accessibility_check.h"

namespace mainwork {
namespace {

class DriveTest : public MainWorkTest {
 protected:
  static mv::MotorProfile Edited(int slot, const std::string& name) {
    mv::MotorProfile p = mv::MotorProfileDefaults(slot);
    p.SetName(name);
    p.SetComment("edited " + std::to_string(slot + 1));
    p.SetU16(mv::off::motor_speed_max, static_cast<std::uint16_t>(3000 + slot * 111));
    p.SetU16(mv::off::cont_pwm_freq, static_cast<std::uint16_t>(20 + slot * 10));
    mv::UpdateChecksum(p);
    return p;
  }
  // Number of bytes in a traced frame (" 34 01 ...").
  static std::size_t FrameSize(const std::string& frame) {
    std::istringstream in(frame);
    std::string byte;
    std::size_t n = 0;
    while (in >> byte) ++n;
    return n;
  }
};

TEST_F(DriveTest, GetAsksFourQuestionsInTurnAndFillsTheFields) {
  StartDrive(1, {"--trace", "--serial", "65535"});
  form->GetDriveDataButton->click();
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Counters(), "Tx 4 Rx 4 TO 0 Errs 0 Busy 0");
  EXPECT_EQ(form->NameLabeledEdit->text(), "Morvane SIM-1");
  EXPECT_TRUE(form->VersionLabeledEdit->text().contains(QRegularExpression("^S\\d{4,5}-\\d\\d, H\\d{4,5}-\\d\\d$")))
      << form->VersionLabeledEdit->text().toStdString();
  EXPECT_EQ(form->SerialNoLabeledEdit->text(), "65535");
  EXPECT_TRUE(form->HardwareIdentifierLabeledEdit->text().contains(
      QRegularExpression("^0x[0-9A-F]{2} 0x[0-9A-F]{2} 0x[0-9A-F]{2}$")))
      << form->HardwareIdentifierLabeledEdit->text().toStdString();
  EXPECT_EQ(ReceivedFrames(), (std::vector<std::string>{" 77", " 0D", " 78", " 10 00 00"}));
  EXPECT_TRUE(prompts.messages.empty());
}

TEST_F(DriveTest, TimeoutOnTheVersionLeavesTheLaterFieldsAsTheyWere) {
  StartDrive(2, {"--fault", "none:0x0D"});
  mvtest::AlertRecorder alerts;
  form->VersionLabeledEdit->setText("old version");
  form->SerialNoLabeledEdit->setText("old serial");
  form->HardwareIdentifierLabeledEdit->setText("old id");
  form->GetDriveDataButton->click();
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Counters(), "Tx 2 Rx 1 TO 1 Errs 0 Busy 0");
  EXPECT_EQ(form->NameLabeledEdit->text(), "Morvane SIM-1");
  EXPECT_EQ(form->VersionLabeledEdit->text(), "old version");
  EXPECT_EQ(form->SerialNoLabeledEdit->text(), "old serial");
  EXPECT_EQ(form->HardwareIdentifierLabeledEdit->text(), "old id");
  EXPECT_TRUE(prompts.messages.empty());
  // Said in words where the user looks, and to a screen reader.
  const QString said = "Get (drive information): no answer from the drive (timeout) at step 2 of 4";
  EXPECT_EQ(form->RequestResultLabel->text(), said);
  if (alerts.Listening()) {
    EXPECT_EQ(alerts.texts, std::vector<QString>{said});
  }
}

TEST_F(DriveTest, BadChecksumIsReportedWithTheAskedProfileAndLeavesTheSlot) {
  // The first and the third profile frames of the run carry a bad checksum.
  StartDrive(3, {"--fault", "badsum:0x35:1", "--fault", "badsum:0x35:3"});
  form->Slots[3].LoadContButton->click();
  ASSERT_TRUE(Idle());
  ASSERT_EQ(prompts.messages.size(), 1u);
  EXPECT_EQ(prompts.messages[0], "Motor profile 4\nInvalid Checksum");
  EXPECT_EQ(form->profileSlots[3], mv::MotorProfileDefaults(3));
  EXPECT_EQ(form->Slots[3].NameLabel->text(), "<undefined>");

  // In "Get all" the bad one (the second of the six, third frame in all) is
  // reported and skipped, the others arrive.
  form->GetP01P06ContButton->click();
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Counters(), "Tx 7 Rx 7 TO 0 Errs 0 Busy 0");
  ASSERT_EQ(prompts.messages.size(), 2u);
  EXPECT_EQ(prompts.messages[1], "Motor profile 2\nInvalid Checksum");
  for (int i = 0; i < mv::kSlotCount; ++i) EXPECT_EQ(form->Slots[i].NameLabel->text() == "<undefined>", i == 1) << i;
}

TEST_F(DriveTest, SaveContSendsTheSlotAsClickedAndReadsBackEqual) {
  StartDrive(4, {"--trace"});
  const mv::MotorProfile edited = Edited(1, "Spindle");
  form->setProfileSlot(1, edited);
  form->Slots[1].SaveContButton->click();
  // Changing the slot after the click does not change what is sent.
  form->setProfileSlot(1, mv::MotorProfileDefaults(1));
  ASSERT_TRUE(Idle());
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
  EXPECT_EQ(form->RequestResultLabel->text(), "Save Cont P02: saved by the drive");  // briefly, no box
  form->Slots[1].LoadContButton->click();
  ASSERT_TRUE(Idle());
  EXPECT_EQ(form->profileSlots[1], edited);
  EXPECT_EQ(form->Slots[1].NameLabel->text(), "Spindle: edited 2");
  const auto frames = ReceivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].rfind(" 34 01 ", 0), 0u);
  EXPECT_EQ(FrameSize(frames[0]), 224u);
  EXPECT_EQ(frames[1], " 35 01");
  EXPECT_EQ(Counters(), "Tx 2 Rx 2 TO 0 Errs 0 Busy 0");
}

TEST_F(DriveTest, SaveAllThenGetAllRoundTripsSixEditedProfiles) {
  StartDrive(5, {"--trace"});
  std::array<mv::MotorProfile, mv::kSlotCount> edited;
  for (int i = 0; i < mv::kSlotCount; ++i) {
    edited[i] = Edited(i, "Motor" + std::to_string(i + 1));
    form->setProfileSlot(i, edited[i]);
  }
  form->SetP01P06ContButton->click();
  form->GetP01P06ContButton->click();  // refused while the save runs
  EXPECT_EQ(form->PanelText(10), "1");
  ASSERT_TRUE(Idle());
  for (int i = 0; i < mv::kSlotCount; ++i) form->setProfileSlot(i, mv::MotorProfileDefaults(i));
  form->GetP01P06ContButton->click();
  ASSERT_TRUE(Idle());
  EXPECT_EQ(Counters(), "Tx 12 Rx 12 TO 0 Errs 0 Busy 1");
  for (int i = 0; i < mv::kSlotCount; ++i) EXPECT_EQ(form->profileSlots[i], edited[i]) << i;
  EXPECT_EQ(form->Slots[5].NameLabel->text(), "Motor6: edited 6");
  const auto frames = ReceivedFrames();
  ASSERT_EQ(frames.size(), 12u);
  for (int i = 0; i < mv::kSlotCount; ++i) {
    char head[16];
    std::snprintf(head, sizeof head, " 34 %02X ", i);
    EXPECT_EQ(frames[i].rfind(head, 0), 0u) << i;
    EXPECT_EQ(FrameSize(frames[i]), 224u) << i;
  }
  EXPECT_TRUE(prompts.messages.empty()) << prompts.LastMessage();
}

}  // namespace
}  // namespace mainwork
