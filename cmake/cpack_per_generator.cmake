# Read by CPack once per generator: the .tar.gz takes only the component "board" (what a
# board without dpkg needs), the .deb everything.
if(CPACK_GENERATOR STREQUAL "TGZ")
  string(REPLACE ";ALL;" ";board;" CPACK_INSTALL_CMAKE_PROJECTS "${CPACK_INSTALL_CMAKE_PROJECTS}")
endif()
