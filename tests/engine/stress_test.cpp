// Many playbacks one after another, stopped at every moment: nothing may leak, hang or race.
#include <gtest/gtest.h>

#include "engine_fixture.h"

namespace tarvel::test {
namespace {

using Stress = EngineTest;

TEST_F(Stress, ThousandOpenStartStopCycles) {
  TempMovie sound(SoundMovie(5));
  TempMovie silent(SilentMovie(5));
  for (int cycle = 0; cycle < 1000; ++cycle) {
    const bool with_sound = (cycle / 3) % 2 == 0;
    const TempMovie& movie = with_sound ? sound : silent;
    const int kind = cycle % 3;
    Player_SetLoop(context, kind == 2 ? 0 : 1);
    ASSERT_EQ(OpenAndStart(movie, 1 + cycle % 6), kPlayerOk) << "cycle " << cycle;
    if (kind == 0) {
      Player_Stop(context);  // right after start
    } else if (kind == 1) {
      ASSERT_TRUE(WaitFor([this] { return context.current_frame >= 2 || context.loop_count > 0; }))
          << "cycle " << cycle;
      Player_Stop(context);  // in the middle
    } else {
      ASSERT_TRUE(WaitUntilIdle()) << "cycle " << cycle;  // the reader stops at the end
    }
    ASSERT_FALSE(context.playing);
    ASSERT_FALSE(context.movie_open);
  }
  Player_Stop(context);
  EXPECT_FALSE(context.disk_thread.exists());
  EXPECT_FALSE(context.sound_thread.exists());
}

TEST_F(Stress, StopFromAnotherThreadWhileTheReaderEndsPlayback) {
  // The reader's own stop at the end of the movie and a stop from the caller's side meet.
  TempMovie movie(SoundMovie(2));
  for (int cycle = 0; cycle < 200; ++cycle) {
    Player_SetLoop(context, 0);
    ASSERT_EQ(OpenAndStart(movie), kPlayerOk);
    std::thread other([this] { Player_StopIfPlaying(context); });
    Player_Stop(context);
    other.join();
    ASSERT_FALSE(context.movie_open);
    ASSERT_FALSE(context.closing);
  }
}

}  // namespace
}  // namespace tarvel::test
