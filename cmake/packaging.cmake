# Releases: the flags of a release build, and the Debian package of the Linux program
# (CPack). scripts/release.sh drives both; the version comes from resources/texts.h
# through project().

# A release build is stripped and the same bytes wherever and whenever it is built:
# no build folder in the binaries (__FILE__ and the like are named relative to the
# source tree), no link time in the PE header, unused functions and data dropped.
# Time stamps that do end up in files come from SOURCE_DATE_EPOCH, which
# scripts/release.sh takes from the last commit.
option(SENTROVA_RELEASE "Release build: stripped, reproducible, no build paths" OFF)
if(SENTROVA_RELEASE)
  set(sentrova_code_languages $<COMPILE_LANGUAGE:C,CXX>)
  add_compile_options(
    $<${sentrova_code_languages}:-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=>
    $<${sentrova_code_languages}:-ffile-prefix-map=${CMAKE_BINARY_DIR}/=>
    $<${sentrova_code_languages}:-ffunction-sections>
    $<${sentrova_code_languages}:-fdata-sections>)
  add_link_options(-s -Wl,--gc-sections)
  if(WIN32)
    add_link_options(-Wl,--no-insert-timestamp)
  else()
    # Debian's hardening flags, as its own packages are built with them.
    add_compile_options($<${sentrova_code_languages}:-fstack-protector-strong>
                        $<${sentrova_code_languages}:-D_FORTIFY_SOURCE=2>)
    add_link_options(-Wl,-z,relro,-z,now)
  endif()
endif()

set(CPACK_PACKAGE_NAME sentrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
if(WIN32)
  # The Windows program ships as a zip that scripts/release.sh makes.
  return()
endif()

include(GNUInstallDirs)

# The credit texts of the dialog, read from resources/texts.h: publisher and web address
# name the package's maintainer and home page.
function(sentrova_text name out)
  file(STRINGS ${CMAKE_SOURCE_DIR}/resources/texts.h line REGEX "^#define ${name} \"[^\"]+\"$")
  string(REGEX REPLACE "^[^\"]*\"([^\"]+)\"$" "\\1" text "${line}")
  if(NOT text)
    message(FATAL_ERROR "resources/texts.h has no ${name}")
  endif()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
sentrova_text(SENTROVA_TEXT_PUBLISHER sentrova_publisher)
sentrova_text(SENTROVA_TEXT_WEB sentrova_web)
sentrova_text(SENTROVA_TEXT_RIGHTS sentrova_rights)
set(sentrova_maintainer "${sentrova_publisher} <packages@${sentrova_web}>")

# The licence has one home, LICENSE: its "Copyright (c) YEAR HOLDER" line and the terms
# under it. The holder is the one the dialog's rights notice names.
file(READ ${CMAKE_SOURCE_DIR}/LICENSE sentrova_license)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/LICENSE)
if(NOT sentrova_license MATCHES "\nCopyright \\(c\\) ([0-9]+) ([^\n]+)\n\n(.+)$")
  message(FATAL_ERROR "LICENSE has no line \"Copyright (c) YEAR HOLDER\" followed by its terms")
endif()
set(sentrova_license_years ${CMAKE_MATCH_1})
set(sentrova_license_holder ${CMAKE_MATCH_2})
set(sentrova_license_terms ${CMAKE_MATCH_3})
string(REGEX REPLACE "^\\(C\\) *" "" sentrova_rights_holder "${sentrova_rights}")
if(NOT sentrova_license_holder STREQUAL sentrova_rights_holder)
  message(FATAL_ERROR "LICENSE names ${sentrova_license_holder}, the rights notice ${sentrova_rights_holder}")
endif()
# The terms as a field's continuation lines: each indented one space, an empty line
# written " .".
string(STRIP "${sentrova_license_terms}" sentrova_license_terms)
string(REPLACE "\n" "\n " sentrova_license_terms " ${sentrova_license_terms}")
string(REPLACE "\n \n" "\n .\n" sentrova_license_terms "${sentrova_license_terms}")

# What Debian asks of every package beside its program: a copyright file, in Debian's
# machine-readable format (Expat is its name for this text of the MIT licence), and,
# for a package of its own upstream like this one, changelog.gz, compressed without a
# name or time in its header. The changelog's date is SOURCE_DATE_EPOCH's when it is
# set (string(TIMESTAMP) honours it), so the release's is that of its last commit.
set(sentrova_package_dir ${CMAKE_BINARY_DIR}/package)
string(TIMESTAMP sentrova_package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
file(WRITE ${sentrova_package_dir}/changelog
"sentrova (${PROJECT_VERSION}) unstable; urgency=medium

  * Release ${PROJECT_VERSION}.

 -- ${sentrova_maintainer}  ${sentrova_package_date}
")
file(WRITE ${sentrova_package_dir}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: Sentrova
Upstream-Contact: ${sentrova_maintainer}
Source: https://${sentrova_web}
Comment: Sentrova is published under the MIT licence.

Files: *
Copyright: ${sentrova_license_years} ${sentrova_license_holder}
License: Expat
${sentrova_license_terms}
")
execute_process(COMMAND gzip -9nf ${sentrova_package_dir}/changelog RESULT_VARIABLE gzip_result)
if(NOT gzip_result EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${sentrova_package_dir}/changelog")
endif()
install(FILES ${sentrova_package_dir}/copyright ${sentrova_package_dir}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/sentrova
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

# The program and its manual page are installed by shell/CMakeLists.txt.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT ${sentrova_maintainer})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${sentrova_maintainer})
set(CPACK_PACKAGE_VENDOR ${sentrova_publisher})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find the serial port and baud rate of a GPS receiver")
set(CPACK_PACKAGE_DESCRIPTION
"Sentrova walks the serial ports COM1 to COM255 and the rates 4800 to 115200
bit/s, captures a burst of data from each port that answers and looks for an
NMEA 0183 sentence of the GP talker. It reports the first port and rate that
yield one. The dialog is drawn in the terminal; without a terminal it reads its
keys from standard input. Ports are numbered the way Wine numbers them, then
the boards' own UARTs (the Raspberry Pi's ttyAMA and others) and Bluetooth
rfcomm ports.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://${sentrova_web})
# Depends from dpkg-shlibdeps, as Debian's own packages get it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# sentrova_1.04_amd64.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Owners and times in the package do not depend on who builds it, or when: CPack's
# DEB generator writes root as every file's owner and, with SOURCE_DATE_EPOCH set,
# that time as the time of every file and of the ar members. Modes of the folders and
# of the ar members follow the umask; scripts/release.sh runs under umask 022.
set(CPACK_STRIP_FILES ON)
include(CPack)
