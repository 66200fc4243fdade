# `cpack -G DEB` in the build folder: a Debian package of what `cmake --install` installs.
set(CPACK_PACKAGE_NAME velmora)
set(CPACK_PACKAGE_VENDOR "The Velmora developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pure-tone hearing test and tone stimulation")
string(CONCAT CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "Velmora is a desktop tool for hearing tests and tone stimulation through\n"
  "headphones. Its audiometry plays sine tones from 125 Hz to 12 kHz into one\n"
  "ear, 3 dB louder each time until the listener answers, and draws that ear's\n"
  "audiogram. Its stimulation plays endless short tone bursts into one ear, with\n"
  "the playback rate shifted at random within a band.")
set(VELMORA_MAINTAINER "The Velmora developers <velmora@example.org>"
    CACHE STRING "Maintainer named in the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELMORA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Debian ships debugging symbols apart; the build folder keeps them.
set(CPACK_STRIP_FILES ON)
# The libraries come from dpkg-shlibdeps; Qt's window-system plugins are loaded at run time,
# so no library scan finds them, and without them the program cannot open its window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
include(CPack)
