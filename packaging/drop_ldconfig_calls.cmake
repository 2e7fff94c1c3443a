# CPack post-build script: CPack writes a postinst and a postrm that only call ldconfig
# into every package with a shared library in /usr/lib. liblumodez1 has Debian's ldconfig
# trigger (packaging/triggers) instead, so these scripts are taken out of the built
# packages again; every other file and mode stays as CPack made it.
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  if(NOT deb MATCHES "\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND sh -c "umask 022 && dpkg-deb -R \"$0\" \"$1\"" "${deb}" "${tree}"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "cannot unpack ${deb}")
  endif()
  set(changed FALSE)
  foreach(script postinst postrm)
    set(path "${tree}/DEBIAN/${script}")
    if(EXISTS "${path}")
      file(READ "${path}" text)
      # What CPack writes: a shebang, set -e, and ldconfig under one condition.
      string(REGEX REPLACE "#[^\n]*\n|set -e\n|if \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n|[ \t]*ldconfig\n|fi\n|[ \t\n]" "" rest "${text}")
      if(rest STREQUAL "" AND text MATCHES "ldconfig")
        file(REMOVE "${path}")
        set(changed TRUE)
      endif()
    endif()
  endforeach()
  if(changed)
    execute_process(COMMAND sh -c "umask 022 && dpkg-deb --root-owner-group -Zgzip -b \"$0\" \"$1\" >/dev/null"
      "${tree}" "${deb}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "cannot pack ${deb} again")
    endif()
  endif()
  file(REMOVE_RECURSE "${tree}")
endforeach()
