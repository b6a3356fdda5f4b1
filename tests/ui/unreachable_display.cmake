# The player with a display that is named but cannot be reached (a path where no X server
# listens, or no Wayland compositor): one line that says so and why, status 1, and no abort.
#   cmake -DPLAYER=<tarvel> -P unreachable_display.cmake
set(ENV{DISPLAY} /nonexistent/socket:0)
unset(ENV{WAYLAND_DISPLAY})
unset(ENV{QT_QPA_PLATFORM})
execute_process(COMMAND ${PLAYER} --no-associate
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
set(expected "^tarvel: cannot show the player \\(DISPLAY=/nonexistent/socket:0\\): [^\n]*; kqm play plays a movie without a window\n$")
if(NOT status STREQUAL "1" OR NOT err MATCHES "${expected}" OR NOT out STREQUAL "")
  message(FATAL_ERROR "status ${status}, standard error:\n${err}standard output:\n${out}")
endif()

# A Wayland desktop named but not there: the reason is the Wayland connection's, not the plugin
# loader's "could not load" that follows it.
unset(ENV{DISPLAY})
set(ENV{WAYLAND_DISPLAY} /nonexistent/wayland-0)
set(ENV{QT_QPA_PLATFORM} wayland)
execute_process(COMMAND ${PLAYER} --no-associate
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 60)
set(expected "^tarvel: cannot show the player \\(WAYLAND_DISPLAY=/nonexistent/wayland-0 QT_QPA_PLATFORM=wayland\\): [^\n]*wl_display[^\n]*; kqm play plays a movie without a window\n$")
if(NOT status STREQUAL "1" OR NOT err MATCHES "${expected}" OR NOT out STREQUAL "")
  message(FATAL_ERROR "status ${status}, standard error:\n${err}standard output:\n${out}")
endif()
