# The Debian package: `cpack -G DEB` in the build folder writes
# tamarind2_<version>_<arch>.deb. Library dependencies are read from the
# programs by dpkg-shlibdeps; what they load at run time is named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamarind2)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tamarind 2")
set(CPACK_PACKAGE_CONTACT "Tamarind 2 developers <tamarind2@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "turns a folder of photos into a slide show")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "turns a folder of photos into a slide show
 Tamarind 2 collects JPEG and BMP photos into a list, reduces them with an
 exact area-averaging filter to fit 960x720 or 480x360 pixels, saves them
 again as JPEG and puts them into a new presentation, one picture per slide.
 The slides are built in LibreOffice Impress where it is installed, else in
 the program's own presentation window, which saves them as .pptx.
 .
 tamarind2-cli does the same from a shell. All texts are Japanese.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The UNO libraries the Impress plug-in links live in LibreOffice's own folder.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS /usr/lib/libreoffice/program)
# Impress is optional (the built-in engine serves without it); the rest make
# the window speak and show Japanese.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libreoffice-impress, qt6-translations-l10n, fonts-noto-cjk | fonts-ipafont-gothic")
set(CPACK_STRIP_FILES ON)
include(CPack)
