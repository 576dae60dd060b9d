#include "kestrun/ModInstaller.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::string Sample(const std::string& name) {
  std::stringstream text;
  text << std::ifstream(std::string(TEST_DATA_DIR) + "/citrix/" + name, std::ios::binary).rdbuf();
  EXPECT_FALSE(text.str().empty()) << name;
  return text.str();
}

TEST(LinkDecision, FromWhatStandsThere) {
  using T = vq::FileType;
  using A = VQLinkAction;
  const std::string target = "/L/ks2/modules/libfreerdp.dylib";
  const std::nullopt_t none = std::nullopt;
  const std::vector<std::tuple<std::optional<T>, std::optional<std::string>, A>> cases = {
      {none, none, A::kMake},
      {T::kSymbolicLink, target, A::kKeep},
      {T::kSymbolicLink, target + "/", A::kReplaceLink},
      {T::kSymbolicLink, "../ks2/modules/libfreerdp.dylib", A::kReplaceLink},
      {T::kSymbolicLink, target.substr(0, target.size() - 1), A::kReplaceLink},
      {T::kSymbolicLink, none, A::kReplaceLink},
      {T::kRegular, none, A::kReplaceOther},
      {T::kDirectory, none, A::kReplaceOther},
      {T::kOther, none, A::kReplaceOther},
  };
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [existing, content, action] = cases[i];
    EXPECT_EQ(VQKS2ModInstaller::decideLink(existing, content, target), action) << "row " << i;
  }
}

TEST(ModulesPatch, GoldenCases) {
  // A real Mac module file gets the entry at the end of its one list line.
  const std::string mac = Sample("mac-Modules.Homework4fin");
  const std::string list =
      "VirtualDriver=Thinwire3.0, Clipboard, ClientManagement, ClientComm, ZL_FONT, ZLC, TWI, "
      "SmartCard, SSPI, TUI\r";
  const size_t at = mac.find(list);
  ASSERT_NE(at, std::string::npos);
  const std::string macPatched =
      mac.substr(0, at + list.size() - 1) + ", vq\rvq=On\r" + mac.substr(at + list.size());
  struct Case {
    std::string in;
    std::optional<std::string> out;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {mac, macPatched},
      // CR LF: the CR of the list line is replaced, its LF follows "vq=On".
      {"[ICA 3.0]\r\nVirtualDriver=Alpha\r\nAlpha=On\r\n", "[ICA 3.0]\r\nVirtualDriver=Alpha, vq\rvq=On\r\nAlpha=On\r\n"},
      {"VirtualDriver = Alpha\r", std::nullopt},
      {"VirtualDriver =Alpha\r", std::nullopt},
      {"VirtualDriver=vq, Alpha\r", std::nullopt},
      {"VirtualDriver=vq\r", std::nullopt},
      {"VirtualDriver=Alpha,\tvq\r", std::nullopt},
      {"VirtualDriver=Alpha, vq, Beta\r", std::nullopt},
      {"VirtualDriver=\rNext=1\r", "VirtualDriver=, vq\rvq=On\rNext=1\r"},
      {"VirtualDriver=Alpha,vq\r", "VirtualDriver=Alpha,vq, vq\rvq=On\r"},
      {"VirtualDriver=Alpha,vq, vq\rvq=On\r", std::nullopt},
      {"VirtualDriver=vq ,Alpha\r", "VirtualDriver=vq ,Alpha, vq\rvq=On\r"},
      {"VirtualDriver=Alpha, xvq\r", "VirtualDriver=Alpha, xvq, vq\rvq=On\r"},
      {"VirtualDriver=Alpha, vqx\r", "VirtualDriver=Alpha, vqx, vq\rvq=On\r"},
      {"VirtualDriver=Alpha, vq \r", "VirtualDriver=Alpha, vq , vq\rvq=On\r"},
      // Only the first key counts, wherever it stands.
      {"A=1\rVirtualDriver=Alpha\rB=2\rVirtualDriver=Beta\r", "A=1\rVirtualDriver=Alpha, vq\rvq=On\rB=2\rVirtualDriver=Beta\r"},
      {"VirtualDriver=vq\rVirtualDriver=Beta\r", std::nullopt},
      {"XVirtualDriver=Alpha\r", "XVirtualDriver=Alpha, vq\rvq=On\r"},
      // An existing "vq=On" line is not looked for.
      {"vq=On\rVirtualDriver=Alpha\r", "vq=On\rVirtualDriver=Alpha, vq\rvq=On\r"},
      // Raw bytes, NULs included, pass through unchanged.
      {std::string("\0VirtualDriver=A\0B\r\xff", 19), std::string("\0VirtualDriver=A\0B, vq\rvq=On\r\xff", 29)},
      {"", std::nullopt},
      {"VirtualDriver=", std::nullopt},
      {"VirtualDriver=Alpha\n", std::nullopt},
      // Linux module files: blanks around '=' and LF line ends.
      {Sample("linux-module.ini.RPi-TC2"), std::nullopt},
      {"[ICA 3.0]\rNothing=here\r", std::nullopt},
  };
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(c.in), c.out) << testing::PrintToString(c.in);
    // A patched file is never patched again.
    if (c.out) {
      EXPECT_EQ(VQKS2ModInstaller::patchedModulesData(*c.out), std::nullopt);
    }
  }
}

}  // namespace
