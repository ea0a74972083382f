#include <gtest/gtest.h>

#include <numeric>

#include "profiles/motor_profile.h"

using namespace mv;

TEST(MotorProfileRecord, DefaultsCarryKnownSumAndChecksums) {
  MotorProfile p1 = MotorProfileDefaults(0);
  unsigned sum = std::accumulate(p1.bytes.begin(), p1.bytes.begin() + 220, 0u);
  EXPECT_EQ(sum, 10820u);
  EXPECT_EQ(p1.Checksum(), 54716);
  EXPECT_EQ(p1.bytes[220], 0xBC);
  EXPECT_EQ(p1.bytes[221], 0xD5);
  for (int s = 1; s < 6; ++s) {
    MotorProfile p = MotorProfileDefaults(s);
    EXPECT_EQ(p.Checksum(), 54716 - s) << "slot " << s;
    EXPECT_EQ(p.Name(), "P0" + std::to_string(s + 1));
    EXPECT_EQ(p.Comment(), "Default");
    EXPECT_TRUE(ProfileChecksumValid(p));
  }
}

TEST(MotorProfileRecord, FieldLayoutIsLittleEndianAtFixedOffsets) {
  MotorProfile p = MotorProfileDefaults(0);
  // braking ratio (8) sits before the PWM frequency (90) in the record.
  EXPECT_EQ(p.bytes[38], 8);
  EXPECT_EQ(p.bytes[40], 90);
  EXPECT_EQ(p.U16(off::motor_speed_max), 7500);
  EXPECT_EQ(p.bytes[70], 7500 & 0xFF);
  EXPECT_EQ(p.bytes[71], 7500 >> 8);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_speed, 11), 10000);
  EXPECT_EQ(p.Vf(off::motor_ac_vf_data_speed_loss_max_load, 9), 600);
  // Padding after the name's NUL is zero.
  for (std::size_t i = 3; i < kNameBytes; ++i) EXPECT_EQ(p.bytes[i], 0);
}

TEST(MotorProfileRecord, ChecksumEdgeCases) {
  MotorProfile zero;
  EXPECT_EQ(profileChecksum(zero), 0);  // not 65536
  MotorProfile a = MotorProfileDefaults(0);
  MotorProfile b = a;
  b.bytes[5] = 0x41;  // a padding byte after the name's NUL
  EXPECT_EQ(a.Name(), b.Name());
  EXPECT_NE(profileChecksum(a), profileChecksum(b));
  // Sum of data plus checksum is 0 modulo 65536.
  unsigned sum = std::accumulate(a.bytes.begin(), a.bytes.begin() + 220, 0u);
  EXPECT_EQ((sum + a.Checksum()) % 65536u, 0u);
}

TEST(MotorProfileRecord, TextFieldsAreCutToTheirWidth) {
  MotorProfile p;
  p.SetName("ABCDEFGHIJKLMNOP");
  EXPECT_EQ(p.Name(), "ABCDEFGHIJK");
  EXPECT_EQ(p.bytes[11], 0);
  p.SetComment("");
  EXPECT_EQ(p.Comment(), "");
}

TEST(MotorProfileRecord, SlotBlockAndHexRoundTrip) {
  MotorProfile p = MotorProfileDefaults(3);
  SlotProfileBlock b{};
  FillSlotProfileBlock(b, 3, p);
  EXPECT_EQ(b[0], 3);
  EXPECT_TRUE(std::equal(p.bytes.begin(), p.bytes.end(), b.begin() + 1));
  std::string hex = ProfileToHex(p);
  ASSERT_EQ(hex.size(), 444u);
  MotorProfile q;
  ASSERT_TRUE(ProfileFromHex(hex, q));
  EXPECT_EQ(p, q);
  EXPECT_FALSE(ProfileFromHex(hex.substr(1), q));
  hex[10] = 'g';
  EXPECT_FALSE(ProfileFromHex(hex, q));
}
