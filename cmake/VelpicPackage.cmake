# "cpack -G DEB" in the build directory makes a Debian package of the install rules, laid out under /usr.
set(VELPIC_PACKAGE_MAINTAINER "Velpic maintainers <maintainers@velpic.invalid>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME velpic)
set(CPACK_PACKAGE_VENDOR "Velpic")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "image host on a Gitee repository")
set(CPACK_PACKAGE_DESCRIPTION
    "Velpic commits the pictures dropped on its window into a Gitee repository, named by the MD5 digest of \
their bytes, and copies their public address to the clipboard. Every upload is recorded in a local file or a \
MySQL table shared by several machines, so a picture is never sent twice. The same program uploads from the \
command line for scripts and editors.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELPIC_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries are found by dpkg-shlibdeps; what is loaded at run time without being linked is named here:
# Qt's platform and image-format plugins, Qt's own Chinese translations (the file dialog's buttons), the font
# the Chinese captions need, and the CA bundle that the token-carrying requests verify the service against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "qt6-qpa-plugins, qt6-image-formats-plugins, qt6-translations-l10n, fonts-wqy-zenhei, ca-certificates")

include(CPack)
