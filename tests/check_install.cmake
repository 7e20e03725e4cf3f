# Installs the build into a staging directory, as a package build does, and checks that exactly
# the expected files arrive and that the desktop entry, the metainfo and the icons name one
# another. Run with -DBUILD_DIR=<build tree> -DSTAGE_DIR=<scratch directory>.
cmake_minimum_required(VERSION 3.16)

set(appId io.github.quorvane.QuorvaneLSB)
set(expected
    usr/bin/quorvane-lsb
    usr/bin/quorvane-lsb-cli
    usr/share/applications/${appId}.desktop
    usr/share/bash-completion/completions/quorvane-lsb-cli
    usr/share/doc/quorvane-lsb/changelog.gz
    usr/share/doc/quorvane-lsb/copyright
    usr/share/icons/hicolor/128x128/apps/${appId}.png
    usr/share/icons/hicolor/256x256/apps/${appId}.png
    usr/share/icons/hicolor/48x48/apps/${appId}.png
    usr/share/icons/hicolor/scalable/apps/${appId}.svg
    usr/share/man/man1/quorvane-lsb-cli.1.gz
    usr/share/man/man1/quorvane-lsb.1.gz
    usr/share/metainfo/${appId}.metainfo.xml)

file(REMOVE_RECURSE ${STAGE_DIR})
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${STAGE_DIR}
                        ${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix /usr
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install failed: ${result}")
endif()

file(GLOB_RECURSE installed LIST_DIRECTORIES false RELATIVE ${STAGE_DIR} ${STAGE_DIR}/*)
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
    string(REPLACE ";" "\n  " installed "${installed}")
    string(REPLACE ";" "\n  " expected "${expected}")
    message(FATAL_ERROR "Installed files:\n  ${installed}\nExpected:\n  ${expected}")
endif()

foreach(program quorvane-lsb quorvane-lsb-cli)
    execute_process(COMMAND test -x ${STAGE_DIR}/usr/bin/${program} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
        message(FATAL_ERROR "usr/bin/${program} is not executable")
    endif()
endforeach()

# man and Debian read these gzip-compressed; the manuals must name their programs.
foreach(page quorvane-lsb quorvane-lsb-cli)
    execute_process(COMMAND gzip -dc ${STAGE_DIR}/usr/share/man/man1/${page}.1.gz
                    OUTPUT_VARIABLE manual RESULT_VARIABLE result)
    string(TOUPPER "${page}" title)
    string(FIND "${manual}" ".TH ${title} 1 " position)
    if(NOT result EQUAL 0 OR position EQUAL -1)
        message(FATAL_ERROR "The manual ${page}.1.gz is not a compressed page for ${page}")
    endif()
endforeach()

# bash-completion finds a completion by the command's name and loads it from this file.
file(READ ${STAGE_DIR}/usr/share/bash-completion/completions/quorvane-lsb-cli completion)
string(FIND "${completion}" "complete -F _quorvane_lsb_cli quorvane-lsb-cli" position)
if(position EQUAL -1)
    message(FATAL_ERROR "The bash completion does not complete quorvane-lsb-cli")
endif()

# A PNG's width and height are the first two 4-byte fields after the 16-byte signature and
# chunk head; an icon in the wrong size folder is scaled badly or skipped by the menu.
foreach(size 48 128 256)
    file(READ ${STAGE_DIR}/usr/share/icons/hicolor/${size}x${size}/apps/${appId}.png header
         OFFSET 16 LIMIT 8 HEX)
    string(SUBSTRING ${header} 0 8 widthHex)
    string(SUBSTRING ${header} 8 8 heightHex)
    math(EXPR width "0x${widthHex}")
    math(EXPR height "0x${heightHex}")
    if(NOT width EQUAL size OR NOT height EQUAL size)
        message(FATAL_ERROR "The ${size}x${size} icon is ${width}x${height}")
    endif()
endforeach()

# The menu finds the icon and starts the program by these names.
file(STRINGS ${STAGE_DIR}/usr/share/applications/${appId}.desktop entry)
foreach(line Icon=${appId} Exec=quorvane-lsb)
    if(NOT line IN_LIST entry)
        message(FATAL_ERROR "The desktop entry lacks ${line}")
    endif()
endforeach()

# Software centres tie the metainfo to its desktop entry and to the program through these.
file(READ ${STAGE_DIR}/usr/share/metainfo/${appId}.metainfo.xml metainfo)
foreach(element "<id>${appId}</id>"
                "<launchable type=\"desktop-id\">${appId}.desktop</launchable>"
                "<binary>quorvane-lsb</binary>")
    string(FIND "${metainfo}" "${element}" position)
    if(position EQUAL -1)
        message(FATAL_ERROR "The metainfo lacks ${element}")
    endif()
endforeach()
