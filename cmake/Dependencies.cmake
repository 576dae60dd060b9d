# libplist is the only library beyond the system's. Homebrew and newer Debian
# name its pkg-config module libplist-2.0; older releases call it libplist.
find_package(PkgConfig REQUIRED)
pkg_search_module(PLIST REQUIRED IMPORTED_TARGET libplist-2.0 libplist)

if(APPLE)
  # The installed tool must need nothing but the system: link the archive.
  find_library(PLIST_STATIC_LIBRARY NAMES libplist-2.0.a libplist.a
               HINTS ${PLIST_LIBRARY_DIRS} REQUIRED)
  add_library(kestrun_plist INTERFACE)
  target_include_directories(kestrun_plist INTERFACE ${PLIST_INCLUDE_DIRS})
  target_link_libraries(kestrun_plist INTERFACE ${PLIST_STATIC_LIBRARY})
else()
  add_library(kestrun_plist INTERFACE)
  target_link_libraries(kestrun_plist INTERFACE PkgConfig::PLIST)
endif()
