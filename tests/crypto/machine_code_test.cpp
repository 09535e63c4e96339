#include "crypto/machine_code.h"

#include <gtest/gtest.h>

#include <memory>

#include "crypto/aes.h"
#include "crypto/digest.h"
#include "crypto/secrets.h"
#include "platform/winsim/services.h"
#include "support/fake_time.h"
#include "support/test_machine.h"

namespace {

// A clock whose pauses take no time, as on a machine running at time scale 0.
class FrozenTime : public qztest::FakeTime {
 public:
  void Sleep(win::DWORD) override {}
};

class TimeStampTest : public ::testing::Test {
 protected:
  void Use(std::unique_ptr<win::ITime> time) {
    platform_.SetTime(std::move(time));
    previous_ = win::Platform::HasCurrent() ? &win::Platform::Current() : nullptr;
    win::Platform::SetCurrent(&platform_);
  }
  void TearDown() override { win::Platform::SetCurrent(previous_); }

  win::Platform platform_;
  win::Platform* previous_ = nullptr;
};

TEST_F(TimeStampTest, PausesOneMillisecondThenReadsTheClock) {
  auto time = std::make_unique<qztest::FakeTime>(1706659200000ull);
  auto* clock = time.get();
  Use(std::move(time));
  qz::StampClock stamps;
  const uint64_t a = stamps.Next();
  const uint64_t b = stamps.Next();
  EXPECT_EQ(a, 1706659200001ull);
  EXPECT_EQ(b, 1706659200002ull);
  EXPECT_EQ(clock->Pauses(), (std::vector<win::DWORD>{1, 1}));
}

TEST_F(TimeStampTest, StampsDifferEvenWhenPausesTakeNoTime) {
  auto time = std::make_unique<FrozenTime>();
  auto* clock = time.get();
  Use(std::move(time));
  clock->SetNow(1806659200000ull);
  qz::StampClock stamps;
  uint64_t last = stamps.Next();
  for (int i = 0; i < 5; ++i) {
    const uint64_t next = stamps.Next();
    EXPECT_GT(next, last);
    last = next;
  }
  // A clock set back by a long way is followed, not papered over.
  clock->SetNow(1706659200000ull);
  EXPECT_EQ(stamps.Next(), 1706659200000ull);
}

// Volumes of a simulated machine, in the order given.
void SetVolumes(win::Platform& platform, std::vector<winsim::Volume> volumes) {
  dynamic_cast<winsim::WinsimPlatform&>(platform).machine().UpdateConfig(
      [&](winsim::MachineConfig& c) { c.volumes = volumes; });
}

winsim::Volume Drive(char letter, uint32_t serial, bool present = true, uint32_t type = 3) {
  winsim::Volume v;
  v.letter = letter;
  v.serial = serial;
  v.present = present;
  v.type = type;
  return v;
}

TEST(MachineCode, FirstReadableVolumeGivesLetterAndSerial) {
  struct Case {
    std::vector<winsim::Volume> volumes;
    bool found;
    std::string code;
  };
  const Case cases[] = {
      {{Drive('C', 0x1A2B3C4D)}, true, "C1A2B3C4D"},
      {{Drive('A', 0x11111111, false, 2), Drive('C', 0x00ABCDEF)}, true, "C00ABCDEF"},  // empty drive skipped
      {{Drive('C', 0xDEADBEEF), Drive('D', 0x12345678)}, true, "CDEADBEEF"},
      {{Drive('D', 0x1, false, 5)}, false, ""},
      {{}, false, ""},
  };
  for (const Case& c : cases) {
    qztest::TestMachine machine;
    SetVolumes(machine.Enter(), c.volumes);
    std::string code = "stale";
    EXPECT_EQ(qz::ComputeMachineCode(&code), c.found) << c.code;
    EXPECT_EQ(code, c.code);
    EXPECT_EQ(qz::MachineCode(), c.code);
  }
}

TEST(MachineBoundKey, DependsOnVolumeSerialAndPassword) {
  auto keyOn = [](uint32_t serial, std::string_view password) {
    qztest::TestMachine machine;
    SetVolumes(machine.Enter(), {Drive('C', serial)});
    qz::qzAES aes;
    aes.SetPassword(password);
    return aes.key();
  };
  const auto base1 = keyOn(0x11112222, "");
  EXPECT_EQ(keyOn(0x11112222, ""), base1) << "same machine, same key";
  EXPECT_NE(keyOn(0x11113333, ""), base1);
  EXPECT_NE(keyOn(0x11112222, "site-serial"), base1);
}

TEST(MachineBoundKey, MissingMachineCodeLeavesPasswordAlone) {
  qztest::TestMachine machine;
  win::Platform& platform = machine.Enter();
  qz::qzAES withCode, without;
  withCode.SetPassword("pw");
  SetVolumes(platform, {Drive('A', 0, false, 2)});
  without.SetPassword("pw");
  EXPECT_NE(withCode.key(), without.key());
  EXPECT_EQ(qz::MachineCode(), "");
  // What it falls back to is the template with an empty code.
  qz::qzAES expected;
  expected.SetKeyInput(qz::DigestMemory(qz::FormatKeyText(qz::secrets::KeyTemplate(), {"", "pw"})));
  EXPECT_EQ(without.key(), expected.key());
  EXPECT_EQ(without.iv(), expected.iv());
}

}  // namespace
