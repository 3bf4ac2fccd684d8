#include "NotificationCenter.h"

#include <gtest/gtest.h>
#include <memory>

namespace {

TEST(NotificationCenterTest, DeliversOnlyTheNameFromTheSenderObserved)
{
    NotificationCenter center;
    QObject observer, sender, stranger;
    QStringList heard;
    center.addObserver(&observer, "A", &sender, [&](const Notification &n) {
        EXPECT_EQ(n.object, &sender);
        heard << n.name;
    });
    center.postNotification("A", &sender);
    center.postNotification("B", &sender);
    center.postNotification("A", &stranger);
    center.postNotification("A", nullptr);
    EXPECT_EQ(heard, QStringList{"A"});
}

TEST(NotificationCenterTest, NullSenderObservesEverySender)
{
    NotificationCenter center;
    QObject observer, one, two;
    int heard = 0;
    center.addObserver(&observer, "A", nullptr, [&](const Notification &) { ++heard; });
    center.postNotification("A", &one);
    center.postNotification("A", &two);
    EXPECT_EQ(heard, 2);
}

TEST(NotificationCenterTest, RemovingAnObserverForgetsAllItsNames)
{
    NotificationCenter center;
    QObject observer, other, sender;
    int mine = 0, theirs = 0;
    center.addObserver(&observer, "A", &sender, [&](const Notification &) { ++mine; });
    center.addObserver(&observer, "B", &sender, [&](const Notification &) { ++mine; });
    center.addObserver(&other, "A", &sender, [&](const Notification &) { ++theirs; });
    center.removeObserver(&observer);
    center.postNotification("A", &sender);
    center.postNotification("B", &sender);
    EXPECT_EQ(mine, 0);
    EXPECT_EQ(theirs, 1);
}

TEST(NotificationCenterTest, DestroyedObserversAndRemovalDuringDeliveryAreSafe)
{
    NotificationCenter center;
    QObject sender;
    auto gone = std::make_unique<QObject>();
    QObject first, second;
    int heardByGone = 0, heardBySecond = 0;
    center.addObserver(gone.get(), "A", &sender, [&](const Notification &) { ++heardByGone; });
    center.addObserver(&first, "A", &sender,
                       [&](const Notification &) { center.removeObserver(&second); });
    center.addObserver(&second, "A", &sender, [&](const Notification &) { ++heardBySecond; });
    gone.reset();
    center.postNotification("A", &sender);
    EXPECT_EQ(heardByGone, 0);
    EXPECT_EQ(heardBySecond, 0);
}

} // namespace
