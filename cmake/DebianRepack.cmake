# Runs after cpack -G DEB has made the packages (CPACK_POST_BUILD_SCRIPTS) and
# finishes them where CPack differs from Debian's tools:
#  - CPack gives a package with a library in /usr/lib a postinst and a postrm
#    that call ldconfig; the library packages use the ldconfig trigger in
#    their triggers file instead, so those two scripts are taken out;
#  - CPack strips with --strip-unneeded only; the .comment and .note sections
#    (compiler versions) are removed as dh_strip removes them;
#  - a -dbgsym package gets the documentation folder of the package it
#    belongs to (a link, as dh_strip makes it) and its .debug files are not
#    executable;
#  - md5sums are written anew (CPack lists a -dbgsym package's files by their
#    paths in its staging folder).
find_program(DPKG_DEB dpkg-deb REQUIRED)
find_program(OBJCOPY objcopy REQUIRED)
list(GET CPACK_PACKAGE_FILES 0 first)
get_filename_component(output_dir "${first}" DIRECTORY)
file(GLOB packages "${output_dir}/*.deb" "${output_dir}/*.ddeb")

foreach(package_file IN LISTS packages)
  set(tree "${output_dir}/repack")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND ${DPKG_DEB} -R "${package_file}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND ${DPKG_DEB} -f "${package_file}" Package
                  OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${tree}" "${tree}/usr/*" "${tree}/etc/*")
  if(EXISTS "${tree}/DEBIAN/triggers")
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  endif()
  if(package MATCHES "^(.*)-dbgsym$")
    file(MAKE_DIRECTORY "${tree}/usr/share/doc")
    file(CREATE_LINK "${CMAKE_MATCH_1}" "${tree}/usr/share/doc/${package}" SYMBOLIC)
    foreach(file IN LISTS files)
      if(file MATCHES "\\.debug$")
        file(CHMOD "${tree}/${file}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
      endif()
    endforeach()
  else()
    foreach(file IN LISTS files)
      if(NOT IS_SYMLINK "${tree}/${file}")
        file(READ "${tree}/${file}" magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
          execute_process(COMMAND ${OBJCOPY} --remove-section=.comment --remove-section=.note
                                  "${tree}/${file}" COMMAND_ERROR_IS_FATAL ANY)
        endif()
      endif()
    endforeach()
  endif()
  set(md5sums "")
  foreach(file IN LISTS files)
    if(NOT IS_SYMLINK "${tree}/${file}")
      file(MD5 "${tree}/${file}" sum)
      string(APPEND md5sums "${sum}  ${file}\n")
    endif()
  endforeach()
  file(WRITE "${tree}/DEBIAN/md5sums" "${md5sums}")
  execute_process(COMMAND ${DPKG_DEB} --root-owner-group -Zxz -b "${tree}" "${package_file}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
