# `cmake --install BUILD --prefix DIR`: the public headers, the static libraries, a CMake
# package (`find_package(quelmar CONFIG)`, target quelmar::quelmar) and quelmar.pc.
#
# Hosts include quelmar/ for the facade and the value type, and qmplatform/ to configure the
# platform before Initialize (bundle and sandbox folders, service routing, log sink, run
# loop); the platform's headers include qmbase/. All three header folders are installed. The
# library shows in-app campaigns, so it links the screen (qmui/, quelmar::ui) and web views
# (qmweb/, quelmar::web); their flags are in quelmar.pc, and quelmar-ui.pc stays for hosts
# that named it. Media (qmmedia/, quelmar::media, quelmar-media.pc) is a separate library.
# The libraries are static: a consumer links their private dependencies itself, so the
# package finds them again and the .pc files list them.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(QM_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/quelmar)

install(TARGETS quelmar qm_platform qm_base qm_ui qm_media qm_web qm_webkit_protocol
        EXPORT quelmarTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
# quelmar/ is filled from two folders: the facade from include/, the value type from base/.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quelmar
                  ${PROJECT_SOURCE_DIR}/base/include/quelmar
                  ${PROJECT_SOURCE_DIR}/base/include/qmbase
                  ${PROJECT_SOURCE_DIR}/platform/include/qmplatform
                  ${PROJECT_SOURCE_DIR}/platform/ui/include/qmui
                  ${PROJECT_SOURCE_DIR}/platform/media/include/qmmedia
                  ${PROJECT_SOURCE_DIR}/platform/web/include/qmweb
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.hpp")

install(EXPORT quelmarTargets
        NAMESPACE quelmar::
        DESTINATION ${QM_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/quelmarConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/quelmarConfig.cmake
                              INSTALL_DESTINATION ${QM_INSTALL_CMAKEDIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/quelmarConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quelmarConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/quelmarConfigVersion.cmake
        DESTINATION ${QM_INSTALL_CMAKEDIR})

# quelmar.pc finds the prefix from its own folder, so the file stays right whatever
# --prefix the install is given.
file(RELATIVE_PATH QM_PC_PREFIX_FROM_PCDIR
     /root/${CMAKE_INSTALL_LIBDIR}/pkgconfig /root)
string(REGEX REPLACE "/$" "" QM_PC_PREFIX_FROM_PCDIR "${QM_PC_PREFIX_FROM_PCDIR}")
# libcurl's own Libs.private names the libraries a static libcurl would need, whose
# development files are not installed next to the shared one; take its shared link flags.
pkg_check_modules(QM_PC_CURL QUIET libcurl)
if(QM_PC_CURL_FOUND)
  list(JOIN QM_PC_CURL_LDFLAGS " " QM_PC_CURL_LIBS)
else()
  set(QM_PC_CURL_LIBS "-lcurl")
endif()
# Likewise for the screen's and media's libraries: a static FFmpeg would need dozens of codec
# libraries whose development files no one installs, so the .pc files carry the shared link
# flags of cairo, Pango and FFmpeg rather than requiring their packages.
list(JOIN PANGOCAIRO_LDFLAGS " " QM_PC_PANGOCAIRO_LIBS)
list(JOIN FFMPEG_LDFLAGS " " QM_PC_FFMPEG_LIBS)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quelmar.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quelmar.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quelmar-ui.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quelmar-ui.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/quelmar-media.pc.in ${CMAKE_CURRENT_BINARY_DIR}/quelmar-media.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/quelmar.pc ${CMAKE_CURRENT_BINARY_DIR}/quelmar-ui.pc
              ${CMAKE_CURRENT_BINARY_DIR}/quelmar-media.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
