# Each library exposes only its own headers. Sources include headers by their folder under src/
# ("video/video_decoder.h"), so every library gets an include folder of its own in the build
# tree, build/include/<target>/<folder>/, holding links to its headers and nothing else. A
# target sees the headers of the libraries it links and no others: an include of a layer it
# does not depend on fails to compile.
#
#   tarvel_expose_headers(<target> <folder under src> [HEADERS h...] [EXCLUDE h...])
#
# HEADERS lists the headers to expose (default: every .h of the folder); EXCLUDE leaves some out
# (headers of another target built from the same folder).
function(tarvel_expose_headers target folder)
  cmake_parse_arguments(ARG "" "" "HEADERS;EXCLUDE" ${ARGN})
  set(source_dir ${PROJECT_SOURCE_DIR}/src/${folder})
  if(ARG_HEADERS)
    set(headers ${ARG_HEADERS})
  else()
    file(GLOB headers CONFIGURE_DEPENDS RELATIVE ${source_dir} ${source_dir}/*.h)
  endif()
  if(ARG_EXCLUDE)
    list(REMOVE_ITEM headers ${ARG_EXCLUDE})
  endif()
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  # Made afresh at every configure, so a removed header disappears here too.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root}/${folder})
  foreach(header ${headers})
    file(CREATE_LINK ${source_dir}/${header} ${root}/${folder}/${header} SYMBOLIC)
  endforeach()
  get_target_property(kind ${target} TYPE)
  if(kind STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE ${root})
  else()
    target_include_directories(${target} PUBLIC ${root})
  endif()
endfunction()
