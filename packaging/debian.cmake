# The Debian package: the tool, its man page, the bash completion, README,
# LICENSE, a copyright file and a changelog; dependencies found by
# dpkg-shlibdeps.
set(CPACK_PACKAGE_NAME discshell)
set(CPACK_PACKAGE_VENDOR "The discshell developers")
set(CPACK_PACKAGE_CONTACT "The discshell developers <discshell@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "look into disc images and write patched copies")
set(CPACK_PACKAGE_DESCRIPTION "discshell opens a disc image read-only, lists its block-structured
volume, copies files or whole trees out of it, checks it, and writes
patched copies of it, from a console of one-letter commands or from
scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# m loads libcrypto only when it runs, so dpkg-shlibdeps cannot see it: the
# package that holds the library the build found is named here.
if(DISCSHELL_LIBCRYPTO_NAME AND libcrypto_file)
  execute_process(COMMAND dpkg -S "${libcrypto_file}" OUTPUT_VARIABLE libcrypto_owner
                  ERROR_QUIET RESULT_VARIABLE libcrypto_found)
  if(libcrypto_found EQUAL 0)
    string(REGEX REPLACE "^([^:]+):.*" "\\1" libcrypto_package "${libcrypto_owner}")
    string(STRIP "${libcrypto_package}" libcrypto_package)
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "${libcrypto_package}")
  endif()
endif()
# --mount as a user needs fusermount3, which the fuse3 package brings.
if(DISCSHELL_HAVE_FUSE)
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)
endif()
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# Debian's documentation layout: a copyright file and a compressed changelog
# and man page beside the package's own documents.
set(debian_staging ${CMAKE_BINARY_DIR}/debian-files)
file(MAKE_DIRECTORY ${debian_staging})
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE license_text)
file(WRITE ${debian_staging}/copyright
     "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
     "Upstream-Name: discshell\n\nFiles: *\nCopyright: The discshell developers\n"
     "License: Expat\n")
string(REPLACE "\n\n" "\n .\n" license_paragraphs "${license_text}")
string(REGEX REPLACE "\n([^ ])" "\n \\1" license_indented "${license_paragraphs}")
file(APPEND ${debian_staging}/copyright " ${license_indented}")
file(WRITE ${debian_staging}/changelog
     "discshell (${PROJECT_VERSION}) unstable; urgency=low\n\n  * Release ${PROJECT_VERSION}.\n\n"
     " -- ${CPACK_PACKAGE_CONTACT}  Tue, 08 Dec 2026 00:00:00 +0000\n")
add_custom_command(
  OUTPUT ${debian_staging}/discshell.1.gz ${debian_staging}/changelog.gz
  COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/doc/discshell.1 > ${debian_staging}/discshell.1.gz
  COMMAND gzip -9n -c ${debian_staging}/changelog > ${debian_staging}/changelog.gz
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/doc/discshell.1 ${debian_staging}/changelog)
add_custom_target(debian_files ALL DEPENDS ${debian_staging}/discshell.1.gz
                                           ${debian_staging}/changelog.gz)
install(FILES ${debian_staging}/copyright ${debian_staging}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${debian_staging}/discshell.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
include(CPack)
