# The Debian package: cpack -G DEB in the build folder writes
# pixveil_<version>_<architecture>.deb, which apt-get installs with its
# dependencies on a fresh Debian 12.

# dpkg-shlibdeps (dpkg-dev) names the package of every library the programs
# link, with the versions they need, so that the list cannot fall behind the
# code. Listed here is what the installed commands use without linking it:
# Mesa's drivers, loaded at run time, the X server for machines without a
# display with xauth for its cookie, and X11 for the display check.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(PIXVEIL_DEBIAN_DEPENDS
  libgl1-mesa-dri
  libx11-6
  xvfb
  xauth)

list(JOIN PIXVEIL_DEBIAN_DEPENDS ", " CPACK_DEBIAN_PACKAGE_DEPENDS)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME pixveil)
set(CPACK_PACKAGE_VENDOR "Pixveil developers")
set(CPACK_PACKAGE_CONTACT "Pixveil developers <dev@pixveil>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "veil images with seeded noise on OpenGL, and give them back")
# CPack puts the summary above these lines and indents them.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION [[
pixveil draws an image through a GLSL program that rotates the bits of every
colour channel and XORs them with noise seeded by the clock, and writes the
result as a 24-bit BMP; pixveil-decode gives the picture back. Both work on
many files at once, and without a display on a private Xvfb server.]])
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
include(CPack)
