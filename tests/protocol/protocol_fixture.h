// An AgentQuery that answers from a script instead of the network, and a session around it on a
// fresh machine with an injected clock.
#pragma once

#include <gtest/gtest.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "config/config_fixture.h"
#include "crypto/crypto_util.h"
#include "platform/platform.h"
#include "protocol/agent_query.h"
#include "support/fake_time.h"
#include "support/test_machine.h"

namespace qztest {

inline std::string FormDecode(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '+') out += ' ';
    else if (s[i] == '%' && i + 2 < s.size()) {
      out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += s[i];
  }
  return out;
}

inline std::map<std::string, std::string> ParseBody(std::string_view body) {
  std::map<std::string, std::string> form;
  size_t pos = 0;
  while (pos <= body.size()) {
    size_t amp = body.find('&', pos);
    if (amp == std::string_view::npos) amp = body.size();
    std::string pair(body.substr(pos, amp - pos));
    const size_t eq = pair.find('=');
    if (!pair.empty()) form[pair.substr(0, eq)] = eq == std::string::npos ? "" : FormDecode(pair.substr(eq + 1));
    pos = amp + 1;
  }
  return form;
}

struct Reply {
  int32_t result = 0;  // used when body is empty
  std::string body;
};

class ScriptedQuery : public qz::AgentQuery {
 public:
  using Handler = std::function<Reply(const std::map<std::string, std::string>& form)>;
  Handler onRequest = [](const auto&) { return Reply{-2, {}}; };
  int32_t simpleResult = 0;

  int32_t RequestSecure(std::u16string_view, std::string_view body, std::span<char> answer, bool) override {
    auto form = Record(body);
    const Reply r = onRequest(form);
    if (r.body.empty()) return r.result;
    const size_t n = std::min(r.body.size(), answer.size() - 1);
    std::copy_n(r.body.data(), n, answer.data());
    answer[n] = '\0';
    return static_cast<int32_t>(n);
  }
  int32_t SimpleRequestSecure(std::u16string_view, std::string_view body, bool) override {
    Record(body);
    return simpleResult;
  }

  std::vector<std::string> Bodies() {
    std::lock_guard lock(mutex_);
    return bodies_;
  }
  int Count(const std::string& command) {
    std::lock_guard lock(mutex_);
    int n = 0;
    for (const auto& b : bodies_) n += ParseBody(b)["_c"] == command;
    return n;
  }

 private:
  std::map<std::string, std::string> Record(std::string_view body) {
    std::lock_guard lock(mutex_);
    bodies_.emplace_back(body);
    return ParseBody(body);
  }
  std::mutex mutex_;
  std::vector<std::string> bodies_;
};

class CountingSigner : public qz::qzCryptoUtil {
 public:
  void SetKeyA(std::string_view key) override {
    ++keyA;
    qzCryptoUtil::SetKeyA(key);
  }
  void SetKeyB(std::string_view key) override {
    ++keyB;
    qzCryptoUtil::SetKeyB(key);
  }
  int keyA = 0, keyB = 0;
};

inline constexpr char kGuid[] = "0a1b2c3d4e5f6a7b0123456789ABCDEF";
inline constexpr char kKeyA[] = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
inline constexpr char kKeyB[] = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

class SessionTest : public ::testing::Test {
 protected:
  SessionTest() {
    auto& p = win::Platform::Current();
    auto clock = std::make_unique<FakeTime>();
    time_ = clock.get();
    p.SetTime(std::move(clock));
    config_.logger = &log_;
    config_.store.SetSiteSerial("");
    config_.settings.agentGuid = kGuid;
    config_.settings.clientId = 12;
    ctx_.logger = &log_;
    ctx_.query = &query_;
    ctx_.signer = &signer_;
    ctx_.config = &config_;
  }

  // An answer document stamped as the server with key B would stamp it.
  std::string Stamped(const std::string& children, uint64_t t = 1706659200000ull) {
    qz::qzCryptoUtil server;
    server.SetKeyB(ctx_.serverKey);
    std::string th;
    server.DigestB(&th, 80, t);
    return "<result _t=\"" + std::to_string(t) + "\" _th=\"" + th + "\">" + children + "</result>";
  }

  TestMachine machine_;
  // Entered before the members below, which log through the machine's clock.
  struct Entered {
    explicit Entered(TestMachine& m) { m.Enter(); }
  } entered_{machine_};
  FakeTime* time_ = nullptr;
  RecordingLogger log_;
  qz::ConfigContext config_;
  ScriptedQuery query_;
  CountingSigner signer_;
  qz::AgentContext ctx_;
};

}  // namespace qztest
