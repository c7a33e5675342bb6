// The app's side of the notification-area icon: "Hide for an hour" hides
// until the hour is over or "Show" is chosen, and the tooltip says who is
// logged in. (The icon itself is Windows's: e2e_windows_install.)
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "app/tray.h"

TEST(TrayHide, HiddenForAnHourOrUntilShownAndNeverTwiceForOneClick) {
    TrayHide hide;
    EXPECT_FALSE(tray_hide_step(&hide, PLATFORM_TRAY_NOTHING, 5.0f));
    EXPECT_FALSE(tray_hide_step(&hide, PLATFORM_TRAY_SHOW, 5.0f)) << "shown already: nothing to do";

    ASSERT_TRUE(tray_hide_step(&hide, PLATFORM_TRAY_HIDE, 10.0f));
    EXPECT_TRUE(hide.hidden);
    // A second "hide" (a double click) does not move the hour on.
    EXPECT_FALSE(tray_hide_step(&hide, PLATFORM_TRAY_HIDE, 20.0f));
    EXPECT_FALSE(tray_hide_step(&hide, PLATFORM_TRAY_NOTHING, 10.0f + TRAY_HIDE_SECONDS - 0.5f));
    EXPECT_TRUE(hide.hidden);
    ASSERT_TRUE(tray_hide_step(&hide, PLATFORM_TRAY_NOTHING, 10.0f + TRAY_HIDE_SECONDS));
    EXPECT_FALSE(hide.hidden) << "back after an hour";
    EXPECT_FALSE(tray_hide_step(&hide, PLATFORM_TRAY_NOTHING, 20000.0f));

    ASSERT_TRUE(tray_hide_step(&hide, PLATFORM_TRAY_HIDE, 100.0f));
    ASSERT_TRUE(tray_hide_step(&hide, PLATFORM_TRAY_SHOW, 101.0f));
    EXPECT_FALSE(hide.hidden) << "\"Show\" ends the hour early";
}

TEST(TrayTip, SaysWhoIsLoggedInAndWhetherTheMascotIsHidden) {
    EXPECT_EQ(tray_tip(nullptr, false), "vimo: not logged in");
    EXPECT_EQ(tray_tip(nullptr, true), "vimo: not logged in (hidden)");
    nlohmann::json user = {{"twitch", {{"name", "Mira"}}}};
    EXPECT_EQ(tray_tip(user, false), "vimo: logged in as Mira");
    // An account whose answer names nobody is still logged in.
    EXPECT_EQ(tray_tip(nlohmann::json::object(), false), "vimo: logged in");
    EXPECT_EQ(tray_tip({{"twitch", 5}}, true), "vimo: logged in (hidden)");
}
