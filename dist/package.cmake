# `cmake --build build --target package` makes a Debian package of what `cmake --install`
# installs. Included from the top-level list so that the package target lands there.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvane-lsb)
set(CPACK_PACKAGE_VENDOR "The Quorvane-LSB developers")
set(CPACK_PACKAGE_CONTACT "Quorvane-LSB developers <quorvane-lsb@users.noreply.github.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "hide a short text in a PNG or BMP picture")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Quorvane-LSB writes a short message into the least significant bits of a\n"
    "picture's red, green and blue channels, so the picture looks unchanged, and\n"
    "saves the result beside the original. In its other mode it reads such a\n"
    "message back. PNG and BMP pictures are supported.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://github.com/quorvane/quorvane-lsb")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# dpkg-shlibdeps names the Qt libraries the program links; plugins that Qt loads at run time
# are invisible to it and named by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(QUORVANE_QT6)
    # Qt 6 ships its platform plugins (X11, Wayland) in a package of their own.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS qt6-qpa-plugins)
endif()
# The window's texts are Chinese; Qt's translations put its dialogs in the user's language.
if(QUORVANE_QT6)
    set(QUORVANE_QT_TRANSLATIONS qt6-translations-l10n)
else()
    set(QUORVANE_QT_TRANSLATIONS qttranslations5-l10n)
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-zenhei | fonts-noto-cjk, ${QUORVANE_QT_TRANSLATIONS}")

include(CPack)
