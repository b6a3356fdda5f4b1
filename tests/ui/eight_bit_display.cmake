# The player on an X server whose screen has 256 colours, where no window can be painted: one
# line that says so, status 1, and no window left black.
#   under_xvfb --depth 8 cmake -DPLAYER=<tarvel> -DHOME=<folder> -P eight_bit_display.cmake
set(ENV{HOME} ${HOME})
unset(ENV{WAYLAND_DISPLAY})
unset(ENV{QT_QPA_PLATFORM})
execute_process(COMMAND ${PLAYER} --no-associate
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 30)
set(expected "tarvel: cannot show the player \\(DISPLAY=[^)]*\\): the screen has 8 bits a pixel, and the player needs 15 or more; kqm play plays a movie without a window\n$")
if(NOT status STREQUAL "1" OR NOT err MATCHES "${expected}" OR err MATCHES "QPainter"
   OR NOT out STREQUAL "")
  message(FATAL_ERROR "status ${status}, standard error:\n${err}standard output:\n${out}")
endif()
