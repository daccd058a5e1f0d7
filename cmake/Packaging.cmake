# `make package`: a Debian package of everything the install rules put in
# place, made by CPack. The libraries the programs link come from
# dpkg-shlibdeps; what they open at run time without linking it is listed by
# hand: the CJK font the Chinese window needs so no text shows as boxes, and
# Qt's own translations for the dialog buttons.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel-ftp)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvel community")
set(CPACK_PACKAGE_CONTACT "Quorvel community <ftp-tool@quorvel.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "Connect to an FTP server from four fields (host, user, password, port), browse its folders \
beside a local folder, queue files and whole folders for download, and manage the remote tree. \
Every command, reply and failure is shown in a time-stamped session log. The window's texts are \
Chinese. Also holds quorvel-ftp-cli, the same FTP engine on the command line.")
set(CPACK_PACKAGE_HOMEPAGE_URL "${PROJECT_HOMEPAGE_URL}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-noto-cjk, qt6-translations-l10n")

include(CPack)
