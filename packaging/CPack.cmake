# The Debian package: `cpack -G DEB` in the build directory (scripts/package).
set(CPACK_PACKAGE_NAME zelmar)
set(CPACK_PACKAGE_VENDOR Varnex)
set(CPACK_PACKAGE_CONTACT "Varnex Dual Terminal developers <zelmar@varnex.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "two-channel serial terminal for the desktop")
set(CPACK_PACKAGE_DESCRIPTION
  "One window holds two independent serial channels side by side. Each drives
one serial port with its own baud rate, data bits, parity and stop bits,
switches RTS and DTR by hand, sends breaks and shows lamps for the
connection, CTS, DSR and received breaks. Every key typed is sent at once;
received bytes show as ASCII, HEX, both, or on a VT/ANSI terminal screen.
Named sessions keep the settings of both channels; a built-in virtual
null-modem cable joins the two channels for trying it without hardware.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_GENERATOR DEB)
include(CPack)
