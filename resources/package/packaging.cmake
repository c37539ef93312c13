# What a package installs besides the programs (src/app and tools install those), and the Debian
# package CPack makes of it all: scripts/package runs it. Included from the top-level CMakeLists.
set(BRINDLE_PROJECT_URL "https://brindle.example.org" CACHE STRING
    "The project's home page in the AppStream metainfo; the screenshots are under its screenshots/")
set(BRINDLE_PROJECT_LICENSE "LicenseRef-proprietary" CACHE STRING
    "SPDX licence of the sources, for the AppStream metainfo (the sources state none)")
set(brindle_resources ${PROJECT_SOURCE_DIR}/resources)
set(brindle_package_dir ${PROJECT_BINARY_DIR}/package-files)

# The software centres' description, named after its component id as AppStream wants.
set(BRINDLE_METAINFO ${brindle_package_dir}/org.example.brindle.metainfo.xml)
configure_file(${brindle_resources}/brindle.metainfo.xml.in ${BRINDLE_METAINFO} @ONLY)
install(FILES ${BRINDLE_METAINFO} DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

foreach(size 16 22 24 32 64 128 256)
  install(FILES ${brindle_resources}/hicolor/${size}x${size}/brindle.png
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()

# Debian wants manuals and the changelog compressed, without a timestamp in the gzip header.
set(brindle_compressed)
foreach(source man/brindle.1 man/brindle-batch.1 package/changelog)
  get_filename_component(name ${source} NAME)
  set(output ${brindle_package_dir}/${name}.gz)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9nc ${brindle_resources}/${source} > ${output}
    DEPENDS ${brindle_resources}/${source} VERBATIM)
  list(APPEND brindle_compressed ${output})
endforeach()
add_custom_target(brindle_package_files ALL DEPENDS ${brindle_compressed})
install(FILES ${brindle_package_dir}/brindle.1.gz ${brindle_package_dir}/brindle-batch.1.gz
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${brindle_package_dir}/changelog.gz ${brindle_resources}/package/copyright
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

# CPack installs what the build made; scripts/package builds only what the package holds, not the tests.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME brindle)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Brindle developers")
set(CPACK_PACKAGE_CONTACT "The Brindle developers <brindle@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "small, fast editor for MP3 and WAV files")
# CPack indents it under the summary and turns the empty line into Debian's paragraph break.
set(CPACK_PACKAGE_DESCRIPTION "Brindle opens one MP3 or WAV file at a time, shows its whole waveform with
the play cursor and the selection, plays it, and saves it as MP3 or WAV after
one of eight edits: delete the selection or everything else, change the
volume or raise it to full scale, fade in, fade out, convert to mono or to
stereo. Samples live in temporary files, so hour-long recordings edit without
filling memory.

The package also holds brindle-batch, which applies the same edits from the
command line.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION sound)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${BRINDLE_PROJECT_URL})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Saving MP3s loads LAME at run time (dlopen), which shlibdeps cannot see.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmp3lame0")
# Qt's own buttons and dialogs in the window's language.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
