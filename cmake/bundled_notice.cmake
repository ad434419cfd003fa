# The notice that a wheel with Nettle linked in carries beside Nettle's licence texts:
# bundled/NOTICE, filled in with the Nettle linked in and where its source is.
# pyproject.toml names bundled/NOTICE as a licence file of such a wheel, so
# scikit-build-core copies it, unfilled, into the wheel's .dist-info/licenses before
# the build; the filled copy installed here takes its place.

# Debian's nettle-dev, which ships <root>/usr/lib/<multiarch>/libnettle.a, names the
# source package and version it was built from at the top of
# <root>/usr/share/doc/nettle-dev/changelog.Debian.gz. Sets `out` to that version, or
# to nothing where the library does not come from Debian.
function(rederodidizo_debian_nettle_source library out)
  set(${out} "" PARENT_SCOPE)
  cmake_path(GET library PARENT_PATH libdir)
  set(changelog "${libdir}/../../share/doc/nettle-dev/changelog.Debian.gz")
  if(NOT EXISTS "${changelog}")
    return()
  endif()
  execute_process(COMMAND gzip -dc "${changelog}" OUTPUT_VARIABLE log RESULT_VARIABLE failed)
  if(NOT failed AND log MATCHES "^nettle \\(([^)]+)\\)")
    set(${out} "${CMAKE_MATCH_1}" PARENT_SCOPE)
  endif()
endfunction()

# Writes the notice for the library `library` of Nettle `version` and installs it
# into the wheel's metadata directory.
function(rederodidizo_bundled_notice library version)
  rederodidizo_debian_nettle_source("${library}" debian_source)
  if(debian_source)
    set(NETTLE_ORIGIN "Debian's package nettle-dev")
    string(CONCAT NETTLE_SOURCE
      "Debian's source package nettle, version ${debian_source}: GNU Nettle's\n"
      "release nettle-${version}.tar.gz with Debian's packaging and patches.\n"
      "On Debian, `apt-get source nettle=${debian_source}` fetches it; Debian's\n"
      "archive keeps every version it has published.")
  else()
    set(NETTLE_ORIGIN "${library}")
    string(CONCAT NETTLE_SOURCE
      "GNU Nettle's release nettle-${version}.tar.gz, with the changes, if any,\n"
      "of whoever supplied ${library}.")
  endif()
  set(NETTLE_VERSION "${version}")
  configure_file("${PROJECT_SOURCE_DIR}/bundled/NOTICE" "${PROJECT_BINARY_DIR}/NOTICE" @ONLY)
  if(SKBUILD_METADATA_DIR)
    install(FILES "${PROJECT_BINARY_DIR}/NOTICE" DESTINATION "${SKBUILD_METADATA_DIR}/licenses/bundled")
  endif()
endfunction()
