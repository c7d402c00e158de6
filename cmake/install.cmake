# What `cmake --install` adds beside the program and its bundled tool (whose
# rules live next to their targets): on Linux the desktop entry, the icon, the
# AppStream metadata, the MIME type for firmware files, the manual pages, the
# documentation, the udev rule and the Debian package; on macOS the
# application bundle.
#
# The desktop files are named after HOOP_BUNDLE_ID, so a vendor's own build
# installs beside ours without clashing.

if(APPLE)
    # The program finds its resources in Contents/Resources of its bundle and
    # looks for the hoop under /Volumes, the platform default.
    set_target_properties(hoop-updater PROPERTIES
        MACOSX_BUNDLE_INFO_PLIST "${CMAKE_SOURCE_DIR}/resources/Info.plist.in"
        MACOSX_BUNDLE_GUI_IDENTIFIER "${HOOP_BUNDLE_ID}"
        MACOSX_BUNDLE_BUNDLE_NAME "Vexlume Hoop Updater"
        MACOSX_BUNDLE_BUNDLE_VERSION "${PROJECT_VERSION}"
        MACOSX_BUNDLE_SHORT_VERSION_STRING "${PROJECT_VERSION}")
    if(HOOP_DFU_PROGRAMMER)
        # Copied into the bundle by the build, so the bundle in the build tree
        # works as it is and `cmake --install` carries the tool along.
        target_sources(hoop-updater PRIVATE "${HOOP_DFU_PROGRAMMER}")
        set_source_files_properties("${HOOP_DFU_PROGRAMMER}" TARGET_DIRECTORY hoop-updater
            PROPERTIES MACOSX_PACKAGE_LOCATION Resources)
    endif()
else()
    set(desktop_dir "${CMAKE_BINARY_DIR}/desktop")
    configure_file("${CMAKE_SOURCE_DIR}/resources/hoop-updater.desktop.in"
                   "${desktop_dir}/${HOOP_BUNDLE_ID}.desktop" @ONLY)
    configure_file("${CMAKE_SOURCE_DIR}/resources/hoop-updater.metainfo.xml.in"
                   "${desktop_dir}/${HOOP_BUNDLE_ID}.metainfo.xml" @ONLY)

    install(FILES "${desktop_dir}/${HOOP_BUNDLE_ID}.desktop" DESTINATION share/applications)
    install(FILES "${CMAKE_SOURCE_DIR}/resources/hoop-updater.svg"
            DESTINATION share/icons/hicolor/scalable/apps RENAME "${HOOP_BUNDLE_ID}.svg")
    install(FILES "${desktop_dir}/${HOOP_BUNDLE_ID}.metainfo.xml" DESTINATION share/metainfo)
    # The Intel HEX type the desktop entry names; Debian's shared-mime-info
    # rebuilds its database from share/mime/packages when a package adds a file there.
    install(FILES "${CMAKE_SOURCE_DIR}/resources/hoop-updater-mime.xml"
            DESTINATION share/mime/packages RENAME "${HOOP_BUNDLE_ID}.xml")
    # Manual pages, the changelog and the README go in compressed, as Debian
    # wants them (gzip -n: no name or time in the header, so builds compare).
    set(compressed_dir "${CMAKE_BINARY_DIR}/compressed")
    set(compressed)
    foreach(pair "hoop-updater.1=resources/hoop-updater.1"
                 "hoop-update-server.1=resources/hoop-update-server.1"
                 "changelog=resources/debian/changelog"
                 "README.md=README.md")
        string(REPLACE "=" ";" pair "${pair}")
        list(GET pair 0 name)
        list(GET pair 1 source)
        add_custom_command(OUTPUT "${compressed_dir}/${name}.gz"
            COMMAND "${CMAKE_COMMAND}" -E make_directory "${compressed_dir}"
            COMMAND sh -c "gzip -9n -c \"$1\" > \"$2\"" sh
                    "${CMAKE_SOURCE_DIR}/${source}" "${compressed_dir}/${name}.gz"
            DEPENDS "${CMAKE_SOURCE_DIR}/${source}"
            VERBATIM)
        list(APPEND compressed "${compressed_dir}/${name}.gz")
    endforeach()
    add_custom_target(compressed-docs ALL DEPENDS ${compressed})
    install(FILES "${compressed_dir}/hoop-updater.1.gz" "${compressed_dir}/hoop-update-server.1.gz"
            DESTINATION share/man/man1)
    # The package's documentation: Debian's copyright format, the changelog,
    # the README the console and the manual page point to, and the settings
    # file's commented example.
    set(doc_dir share/doc/hoop-updater)
    install(FILES "${CMAKE_SOURCE_DIR}/resources/debian/copyright"
                  "${compressed_dir}/changelog.gz" "${compressed_dir}/README.md.gz"
            DESTINATION ${doc_dir})
    install(FILES "${CMAKE_SOURCE_DIR}/resources/debian/hoop-updater.conf"
            DESTINATION ${doc_dir}/examples)
    # The prefix's lib/, not the multiarch library directory: udev reads
    # /usr/lib/udev/rules.d and /usr/local/lib/udev/rules.d.
    install(FILES "${CMAKE_SOURCE_DIR}/resources/70-vexlume-hoop.rules"
            DESTINATION lib/udev/rules.d)

    include("${CMAKE_CURRENT_LIST_DIR}/packaging.cmake")
endif()
