# Checks the include graph of src/: run as `cmake -DSOURCE_DIR=<checkout> -P check_layering.cmake`.
# Fails, listing every offending line, when
# - a folder includes a header of a folder it may not depend on (dependencies point downward:
#   ui -> display -> engine -> audio, video, container -> storage; platform below engine and ui;
#   encoder, tools and gst beside them),
# - Qt, SDL, GStreamer or another outside library is included where it does not belong (the core,
#   storage to engine, uses the C++ standard library only), or
# - an operating-system header or call appears outside src/platform.
cmake_minimum_required(VERSION 3.25)

# What each folder may include besides its own headers.
set(core_below_engine storage container video audio)
set(allowed_storage "")
set(allowed_container storage)
set(allowed_video "")
set(allowed_audio container storage)
set(allowed_platform "")
set(allowed_engine ${core_below_engine} platform)
set(allowed_display engine ${core_below_engine} platform)
set(allowed_encoder ${core_below_engine})
set(allowed_ui/logic ${core_below_engine} platform)
set(allowed_ui ui/logic display engine ${core_below_engine} platform)
set(allowed_tools encoder engine display ${core_below_engine} platform)
set(allowed_gst ${core_below_engine})
# Outside libraries, by the start of their include paths, and the folders that may use them.
set(library_patterns "^Q[A-Za-z]*$|^Qt" "^SDL" "^gst/|^glib|^gio/" "^png\\.h$" "^CLI/" "^hwy/" "^xcb/")
set(library_names "Qt" "SDL" "GStreamer" "libpng" "CLI11" "Highway" "xcb")
set(library_folders "display ui" "platform" "gst" "tools" "tools" "video" "platform")
# Only these files of their folders may use the library (empty: the whole folder).
set(library_files "" "platform/sdl_audio_device.cpp" "" "" "" ""
    "platform/x11_picture_output.cpp platform/x11_pixmaps.cpp")
# The scalers are standard C++ although they sit beside the Qt windows of display/.
set(standard_only_files display/scalers.h display/scalers.cpp)
# Operating-system interfaces: only src/platform uses them.
set(system_header_pattern
    "^(unistd|pwd|grp|fcntl|dlfcn|pthread|spawn|termios|poll|signal|dirent|sched|syslog|windows)\\.h$|^(sys|linux|asm)/")
set(system_call_pattern
    "(^|[^A-Za-z0-9_:.>])(fork|vfork|execv|execvp|execve|execl|execlp|waitpid|wait4|getpwuid|getpwuid_r|getpwnam|sigaction|isatty|popen|pclose|setenv|unsetenv|kill|mkfifo|unlink|mkdir|chmod|chown|symlink|readlink|access|getuid|geteuid|getpid|dup2|pipe)[ \t]*\\(")

if(NOT SOURCE_DIR)
  message(FATAL_ERROR "usage: cmake -DSOURCE_DIR=<checkout> -P check_layering.cmake")
endif()
set(src ${SOURCE_DIR}/src)
file(GLOB_RECURSE files RELATIVE ${src} ${src}/*.h ${src}/*.cpp)
list(SORT files)
set(problems "")

foreach(file ${files})
  get_filename_component(folder ${file} DIRECTORY)
  if(NOT DEFINED allowed_${folder})
    list(APPEND problems "src/${file}: folder ${folder} has no layering rule (add one to tests/layering/check_layering.cmake)")
    continue()
  endif()
  set(may_include ${folder} ${allowed_${folder}})
  file(STRINGS ${src}/${file} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(STRIP "${line}" text)
    if(text MATCHES "^//")
      continue()
    endif()
    if(text MATCHES "^#[ \t]*include[ \t]*[\"<]([^\">]+)[\">]")
      set(path ${CMAKE_MATCH_1})
      set(where "src/${file}:${number}: #include ${path}")
      set(top "")
      if(path MATCHES "^([a-z_]+)/")
        set(top ${CMAKE_MATCH_1})
      endif()
      # A header of the project (GStreamer's "gst/..." headers share their first folder's name
      # with src/gst, so the file itself decides).
      if(top AND EXISTS ${src}/${path})
        # Which folder it belongs to.
        get_filename_component(target_folder ${path} DIRECTORY)
        list(FIND may_include ${target_folder} index)
        if(index LESS 0)
          list(APPEND problems "${where}: ${folder} may not depend on ${target_folder}")
        endif()
        if(target_folder STREQUAL "display" AND NOT folder STREQUAL "display"
           AND NOT path STREQUAL "display/scalers.h" AND NOT folder STREQUAL "ui")
          list(APPEND problems "${where}: only the player may use display's windows; take display/scalers.h")
        endif()
        continue()
      endif()
      if(path MATCHES "${system_header_pattern}" AND NOT folder STREQUAL "platform")
        list(APPEND problems "${where}: operating-system interfaces belong in src/platform")
        continue()
      endif()
      list(LENGTH library_patterns count)
      math(EXPR last "${count} - 1")
      foreach(i RANGE ${last})
        list(GET library_patterns ${i} pattern)
        if(path MATCHES "${pattern}")
          list(GET library_names ${i} name)
          list(GET library_folders ${i} folders)
          list(GET library_files ${i} only_file)
          string(REPLACE " " ";" folders "${folders}")
          string(REPLACE " " ";" only_files "${only_file}")
          list(FIND folders ${folder} index)
          list(FIND standard_only_files ${file} standard_only)
          list(FIND only_files ${file} listed)
          if(index LESS 0 OR standard_only GREATER -1 OR (only_file AND listed LESS 0))
            list(APPEND problems "${where}: ${name} is not used here")
          endif()
        endif()
      endforeach()
    elseif(NOT folder STREQUAL "platform" AND text MATCHES "${system_call_pattern}")
      list(APPEND problems "src/${file}:${number}: ${CMAKE_MATCH_2}() belongs in src/platform")
    endif()
  endforeach()
endforeach()

list(LENGTH files file_count)
if(problems)
  list(LENGTH problems problem_count)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "${text}\nlayering: ${problem_count} problems in ${file_count} files")
endif()
message(STATUS "layering: ${file_count} files, no problems")
