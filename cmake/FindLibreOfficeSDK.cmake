# SPDX-License-Identifier: MIT
# Finds the LibreOffice SDK for C++ UNO clients.
#
# Sets LibreOfficeSDK_FOUND and, when found:
#   LibreOfficeSDK_CPPUMAKER     the header generator (cppumaker)
#   LibreOfficeSDK_TYPE_RDBS     the type libraries the headers are generated from
#   LibreOfficeSDK_PROGRAM_DIR   the office's program folder (run-time rpath of the UNO libraries)
#   LibreOfficeSDK::UNO          imported target: include folder, defines and the UNO libraries
# Hints: LibreOfficeSDK_ROOT (default /usr/lib/libreoffice).

set(_lo_root ${LibreOfficeSDK_ROOT})
if(NOT _lo_root)
  set(_lo_root /usr/lib/libreoffice)
endif()

find_path(LibreOfficeSDK_INCLUDE_DIR NAMES cppuhelper/bootstrap.hxx
          PATHS /usr/include/libreoffice ${_lo_root}/sdk/include NO_DEFAULT_PATH)
find_program(LibreOfficeSDK_CPPUMAKER NAMES cppumaker PATHS ${_lo_root}/sdk/bin NO_DEFAULT_PATH)
find_path(LibreOfficeSDK_PROGRAM_DIR NAMES types.rdb PATHS ${_lo_root}/program NO_DEFAULT_PATH)
foreach(_lib uno_sal uno_cppu uno_cppuhelpergcc3)
  find_library(LibreOfficeSDK_${_lib}_LIBRARY NAMES ${_lib} PATHS ${_lo_root}/sdk/lib NO_DEFAULT_PATH)
endforeach()
if(LibreOfficeSDK_PROGRAM_DIR AND EXISTS ${LibreOfficeSDK_PROGRAM_DIR}/types/offapi.rdb)
  set(LibreOfficeSDK_TYPE_RDBS ${LibreOfficeSDK_PROGRAM_DIR}/types.rdb ${LibreOfficeSDK_PROGRAM_DIR}/types/offapi.rdb)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(
  LibreOfficeSDK
  REQUIRED_VARS LibreOfficeSDK_INCLUDE_DIR LibreOfficeSDK_CPPUMAKER LibreOfficeSDK_TYPE_RDBS
                LibreOfficeSDK_uno_sal_LIBRARY LibreOfficeSDK_uno_cppu_LIBRARY
                LibreOfficeSDK_uno_cppuhelpergcc3_LIBRARY)

if(LibreOfficeSDK_FOUND AND NOT TARGET LibreOfficeSDK::UNO)
  add_library(LibreOfficeSDK::UNO INTERFACE IMPORTED)
  target_include_directories(LibreOfficeSDK::UNO SYSTEM INTERFACE ${LibreOfficeSDK_INCLUDE_DIR})
  target_compile_definitions(LibreOfficeSDK::UNO INTERFACE LINUX UNX CPPU_ENV=gcc3)
  target_link_libraries(LibreOfficeSDK::UNO INTERFACE ${LibreOfficeSDK_uno_cppuhelpergcc3_LIBRARY}
                        ${LibreOfficeSDK_uno_cppu_LIBRARY} ${LibreOfficeSDK_uno_sal_LIBRARY})
endif()
mark_as_advanced(LibreOfficeSDK_INCLUDE_DIR LibreOfficeSDK_CPPUMAKER LibreOfficeSDK_PROGRAM_DIR
                 LibreOfficeSDK_uno_sal_LIBRARY LibreOfficeSDK_uno_cppu_LIBRARY
                 LibreOfficeSDK_uno_cppuhelpergcc3_LIBRARY)
