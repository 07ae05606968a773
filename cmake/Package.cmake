# SPDX-License-Identifier: MIT
# The Debian packages: `cpack -G DEB` in a build folder configured for the
# /usr prefix (scripts/package.sh does both) writes two of them:
#   tamarind2         both programs, manuals, desktop entry, icons, metainfo
#   tamarind2-impress the LibreOffice Impress plug-in (install COMPONENT impress)
# Every install rule without a component of its own belongs to tamarind2.
# Library dependencies are read from the binaries by dpkg-shlibdeps, package
# by package; what they load at run time is named here.
set(TAM_DEB_VERSION "${PROJECT_VERSION}-1" CACHE STRING "Version of the Debian packages")

# Who answers for the packages: whoever builds them, unless told
# (-DTAM_MAINTAINER="Name <address>"); taken from DEBFULLNAME and DEBEMAIL as
# Debian's tools take it, else from git's user of this tree, else from the
# author of its last commit.
if(NOT TAM_MAINTAINER)
  set(name "$ENV{DEBFULLNAME}")
  set(mail "$ENV{DEBEMAIL}")
  find_program(TAM_GIT git)
  if(TAM_GIT AND (NOT name OR NOT mail))
    execute_process(COMMAND ${TAM_GIT} config user.name WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE name OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    execute_process(COMMAND ${TAM_GIT} config user.email WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE mail OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  if(name AND mail)
    set(TAM_MAINTAINER "${name} <${mail}>")
  elseif(TAM_GIT)
    # A fresh clone without a user: the author of the tree's last commit.
    execute_process(COMMAND ${TAM_GIT} log -1 "--format=%an <%ae>" WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE TAM_MAINTAINER OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  else()
    set(TAM_MAINTAINER "")
  endif()
endif()
set(TAM_MAINTAINER "${TAM_MAINTAINER}" CACHE STRING "Maintainer of the Debian packages (Name <address>)")

# Each package's /usr/share/doc folder: the licence in Debian's form, its
# Debian changelog and the upstream one, compressed as Debian keeps them.
# The date of the entry: SOURCE_DATE_EPOCH's when set (package.sh sets the
# last commit's), so a rebuild of the same tree makes the same packages.
string(TIMESTAMP TAM_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(TAM_DEB_DOCS ${CMAKE_BINARY_DIR}/debian-doc)
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/changelog.in ${TAM_DEB_DOCS}/changelog.Debian @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/CHANGELOG ${TAM_DEB_DOCS}/changelog COPYONLY)
add_custom_command(
  OUTPUT ${TAM_DEB_DOCS}/changelog.Debian.gz ${TAM_DEB_DOCS}/changelog.gz
  COMMAND gzip -9nkf changelog.Debian changelog
  DEPENDS ${TAM_DEB_DOCS}/changelog.Debian ${TAM_DEB_DOCS}/changelog
  WORKING_DIRECTORY ${TAM_DEB_DOCS}
  VERBATIM)
add_custom_target(debian_docs ALL DEPENDS ${TAM_DEB_DOCS}/changelog.Debian.gz ${TAM_DEB_DOCS}/changelog.gz)
set(TAM_DEB_PACKAGES tamarind2)
if(TARGET tam_impress)
  list(APPEND TAM_DEB_PACKAGES impress)
endif()
foreach(component ${TAM_DEB_PACKAGES})
  set(package tamarind2)
  if(NOT component STREQUAL "tamarind2")
    set(package tamarind2-${component})
  endif()
  install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/copyright ${TAM_DEB_DOCS}/changelog.Debian.gz
                ${TAM_DEB_DOCS}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
# lintian's overrides, where a tag does not fit a package: each says why.
foreach(component ${TAM_DEB_PACKAGES})
  set(package tamarind2)
  if(NOT component STREQUAL "tamarind2")
    set(package tamarind2-${component})
  endif()
  if(EXISTS ${CMAKE_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides)
    install(FILES ${CMAKE_SOURCE_DIR}/packaging/debian/${package}.lintian-overrides
            DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package} COMPONENT ${component})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${TAM_DEB_PACKAGES})
set(CPACK_PACKAGE_NAME tamarind2)
set(CPACK_PACKAGE_VENDOR "The Tamarind 2 developers")
set(CPACK_PACKAGE_CONTACT "${TAM_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_VERSION "${TAM_DEB_VERSION}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(TAM_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TAM_HOMEPAGE}")
endif()

# Each description: the synopsis, then paragraphs parted by an empty line
# (CPack indents them and marks the empty lines as Debian wants).
set(CPACK_DEBIAN_TAMARIND2_PACKAGE_NAME tamarind2)
# Impress is optional (the built-in engine serves without it); the rest make
# the window speak and show Japanese.
set(CPACK_DEBIAN_TAMARIND2_PACKAGE_DEPENDS "fonts-noto-cjk | fonts-japanese-gothic")
set(CPACK_DEBIAN_TAMARIND2_PACKAGE_RECOMMENDS "tamarind2-impress, qt6-translations-l10n")
set(CPACK_DEBIAN_TAMARIND2_DESCRIPTION
    "turn a folder of photos into a slide show
Tamarind 2 collects JPEG and BMP photos into a list, reduces them with an
exact area-averaging filter to fit 960x720 or 480x360 pixels, saves them
again as JPEG and puts them into a new presentation, one picture per slide.

The slides are built in the program's own presentation window, which saves
them as .pptx, or in LibreOffice Impress when tamarind2-impress is
installed. tamarind2-cli does the same from a shell. All texts are
Japanese.")

set(CPACK_DEBIAN_IMPRESS_PACKAGE_NAME tamarind2-impress)
set(CPACK_DEBIAN_IMPRESS_PACKAGE_DEPENDS "tamarind2 (= ${TAM_DEB_VERSION}), libreoffice-impress")
# The UNO libraries the plug-in links live in LibreOffice's own folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/lib/libreoffice/program)
set(CPACK_DEBIAN_IMPRESS_DESCRIPTION
    "LibreOffice Impress engine for Tamarind 2
Tamarind 2 turns a folder of photos into a slide show. This package lets
it build the slides in LibreOffice Impress, which it drives over UNO, in
place of its own presentation window.

It holds the plug-in that the window and tamarind2-cli load when Impress
is chosen.")
include(CPack)
