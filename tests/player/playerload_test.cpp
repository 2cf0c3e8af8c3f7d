// Open refuses to run before the player's libraries are loaded (its own program, so that no
// other test has loaded them yet).
#include <gtest/gtest.h>

#include <cstdlib>

#include "player/FFPlayer.h"
#include "support/TestMedia.h"

TEST(PlayerLibraries, OpenNeedsThemLoaded) {
    setenv("SDL_AUDIODRIVER", "dummy", 0);  // no sound card needed unless a driver is named
    TFFPlayer player;
    ASSERT_FALSE(player.LibrariesLoaded());
    EXPECT_FALSE(player.Open(testmedia::Fixture("audio.wav"), nullptr));
    EXPECT_EQ(player.LastErrorMessage(), "libav or libsdl not loaded.");
    ASSERT_TRUE(player.LoadLibraries(""));
    EXPECT_TRUE(player.LibrariesLoaded());
    EXPECT_TRUE(player.Open(testmedia::Fixture("audio.wav"), nullptr));
    player.Stop(true);
}
