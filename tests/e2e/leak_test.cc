// The service loop over ten thousand passes: no leak and no invalid memory
// access (under valgrind in the normal build; the sanitizer build's leak
// checker watches the same run), and every link stays current.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "kestrun/ModInstaller.h"
#include "tests/e2e/e2e_fixture.h"

namespace vq::testing {
namespace {

using ::testing::HasSubstr;

constexpr char kLoopTool[] = "/payload/bin/kestrun-10k";

class LeakTest : public E2ETest {
 protected:
  void SetUp() override {
    E2ETest::SetUp();
    if (IsSkipped()) return;
    sandbox.copyIn(KESTRUN_10KPASSES_TOOL_PATH, kLoopTool);
    // Every client is installed, so every location gets its link once.
    VQKS2ModInstaller::forEachLocation([&](const char* location, const char*, bool) {
      const std::string path = location;
      sandbox.makeDirs(path.substr(0, path.rfind('/')));
    });
  }

  void expectAllLinksCurrent() {
    VQKS2ModInstaller::forEachLocation([&](const char* location, const char* file, bool isModule) {
      EXPECT_EQ(sandbox.readLink(location),
                std::string("/payload/") + (isModule ? "modules/" : "conf/") + file);
    });
  }
};

TEST_F(LeakTest, TenThousandPassesLeakNothing) {
#if defined(KESTRUN_SANITIZED)
  // Built with AddressSanitizer: its leak checker runs at the loop's exit
  // and turns any leak into a failing exit status.
  const RunResult result = sandbox.run({kLoopTool});
  EXPECT_EQ(result.exitCode, 0) << result.err;
#else
  if (access("/usr/bin/valgrind", X_OK) != 0) GTEST_SKIP() << "valgrind is not installed";
  const RunResult result =
      sandbox.run({"/usr/bin/valgrind", "--leak-check=full", "--show-leak-kinds=definite,indirect",
                   "--errors-for-leak-kinds=definite,indirect", "--error-exitcode=99", kLoopTool});
  EXPECT_EQ(result.exitCode, 0) << result.err;
  EXPECT_THAT(result.err, HasSubstr("ERROR SUMMARY: 0 errors from 0 contexts"));
#endif
  EXPECT_TRUE(result.out.empty());
  expectAllLinksCurrent();
  // The first pass made the links; the other 9,999 found them current and
  // logged nothing.
  int created = 0;
  for (const std::string& text : sandbox.syslogTexts()) {
    created += text.rfind("create link ", 0) == 0;
  }
  EXPECT_EQ(created, 12);
}

}  // namespace
}  // namespace vq::testing
