# What a Linux desktop needs to list and start the program: the executable, its desktop entry, its icons in the
# hicolor theme and its AppStream metadata, each named by the application id. Tests, benchmarks and the test
# tools have no install rules and stay in the build tree.
install(TARGETS velpic RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/resources/linux/${VELPIC_APP_ID}.desktop
    DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/resources/icons/hicolor
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

configure_file(${PROJECT_SOURCE_DIR}/resources/linux/${VELPIC_APP_ID}.metainfo.xml.in
    ${PROJECT_BINARY_DIR}/${VELPIC_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/${VELPIC_APP_ID}.metainfo.xml
    DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
