#include "WindowFixture.h"

#include <sched.h>

namespace {

// In a network namespace of its own, optionally with an interface named pppoe0.
void checkInFreshNamespace(NATController *controller, bool withPPPoE)
{
    if (unshare(CLONE_NEWNET) != 0)
        std::_Exit(10);
    if (withPPPoE &&
        TestSupport::run(QStringLiteral("ip"), {"link", "add", "pppoe0", "type", "veth", "peer",
                                                "name", "peer-of-p"}) != 0)
        std::_Exit(11);
    std::_Exit(controller->checkForPPPoE() ? 0 : 1);
}

} // namespace

using PPPoE = WindowFixture;

TEST_F(PPPoE, AnswersWhetherAnInterfaceNamedPppoe0IsListed)
{
    VELLORAN_REQUIRE_ROOT();
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(checkInFreshNamespace(controller, true), ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(checkInFreshNamespace(controller, false), ::testing::ExitedWithCode(1), "");
}
