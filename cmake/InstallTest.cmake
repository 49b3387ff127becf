# Installs the build tree into a fresh prefix (with a space in its name) and
# checks the result: every file in its place, and the installed renderer
# running and copying tags (TagLib is linked into the program).
# cmake -DBUILD_DIR=... -DPREFIX=... -DICON_SIZES="16;22;..." -P InstallTest.cmake

function(fail)
  message(FATAL_ERROR "install_tree: ${ARGN}")
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${PREFIX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  fail("cmake --install failed (${rc}): ${err}")
endif()

set(expected
    bin/pitchwell bin/pitchwell-render
    share/pitchwell/skin.svg share/pitchwell/pitchwell.html
    share/pitchwell/icons/pitchwell.svg share/pitchwell/icons/info.svg share/pitchwell/icons/update.svg
    share/applications/pitchwell.desktop share/metainfo/app.pitchwell.Pitchwell.metainfo.xml
    share/icons/hicolor/scalable/apps/pitchwell.svg)
foreach(size IN LISTS ICON_SIZES)
  list(APPEND expected share/icons/hicolor/${size}x${size}/apps/pitchwell.png)
endforeach()
foreach(f IN LISTS expected)
  if(NOT EXISTS "${PREFIX}/${f}")
    fail("${f} was not installed")
  endif()
endforeach()
foreach(exe bin/pitchwell bin/pitchwell-render)
  if(IS_DIRECTORY "${PREFIX}/${exe}" OR NOT EXISTS "${PREFIX}/${exe}")
    fail("${exe} is not a program")
  endif()
endforeach()

execute_process(COMMAND "${PREFIX}/bin/pitchwell-render" --help
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "usage: pitchwell-render")
  fail("installed pitchwell-render --help: status ${rc}, output: ${out}${err}")
endif()

# A render with tags.
set(work "${PREFIX}/work")
file(MAKE_DIRECTORY "${work}")
execute_process(COMMAND ffmpeg -v error -f lavfi -i "sine=frequency=440:duration=1" -ac 2
                        -metadata "title=Install Check" "${work}/in.flac"
                RESULT_VARIABLE rc ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  fail("ffmpeg could not make the input: ${err}")
endif()
execute_process(COMMAND "${PREFIX}/bin/pitchwell-render" -q --pitch 2 "${work}/in.flac" "${work}/out.mp3"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT EXISTS "${work}/out.mp3")
  fail("installed render failed (${rc}): ${out}${err}")
endif()
execute_process(COMMAND ffprobe -v error -show_entries format_tags=title -of default=nw=1:nk=1 "${work}/out.mp3"
                OUTPUT_VARIABLE title OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT title STREQUAL "Install Check")
  fail("the saved file's title is '${title}', not the source's")
endif()

file(REMOVE_RECURSE "${PREFIX}")
message(STATUS "install_tree: ${PREFIX} complete; installed renderer runs and copies tags")
