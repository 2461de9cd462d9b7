# The product version, written once in project(VERSION) and spelled here for every place that shows it:
# "1.00.06" in texts (window title, version block strings, --version, package names), 1.0.6.0 in the manifests
# and the version block's numbers. Generates BrisklodeVersion.h, the manifests and version.env for scripts/release.
#
# Run as a script, it prints the text of one version or refuses it, as a configuration would:
#   cmake -DBRISKLODE_CHECK_VERSION=1.0.100 -P cmake/Version.cmake      prints 1.00.100

# Minor and patch take at least two digits, so that 1.00.09 < 1.00.10 < 1.00.99 < 1.00.100 sort as numbers do
# (dpkg and every file listing). The limits are Windows Installer's: a product version of 255.255.65535.
function(brisklode_version_text major minor patch out)
  foreach(part major minor patch)
    if(NOT "${${part}}" MATCHES "^(0|[1-9][0-9]*)$")
      message(FATAL_ERROR "Version ${major}.${minor}.${patch}: the ${part} number is not a plain number")
    endif()
  endforeach()
  if(major GREATER 255 OR minor GREATER 255 OR patch GREATER 65535)
    message(FATAL_ERROR "Version ${major}.${minor}.${patch} cannot be an installer version: "
                        "major and minor go up to 255, patch up to 65535")
  endif()
  set(text "${major}")
  foreach(part minor patch)
    set(number "${${part}}")
    if(number LESS 10)
      set(number "0${number}")
    endif()
    string(APPEND text ".${number}")
  endforeach()
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
  string(REPLACE "." ";" parts "${BRISKLODE_CHECK_VERSION}")
  list(LENGTH parts count)
  if(NOT count EQUAL 3)
    message(FATAL_ERROR "BRISKLODE_CHECK_VERSION is a.b.c")
  endif()
  list(GET parts 0 major)
  list(GET parts 1 minor)
  list(GET parts 2 patch)
  brisklode_version_text(${major} ${minor} ${patch} text)
  execute_process(COMMAND ${CMAKE_COMMAND} -E echo "${text}")
  return()
endif()

brisklode_version_text(${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} BRISKLODE_VERSION_TEXT)
set(BRISKLODE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

set(BRISKLODE_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
configure_file("${PROJECT_SOURCE_DIR}/cmake/BrisklodeVersion.h.in" "${BRISKLODE_GENERATED_DIR}/BrisklodeVersion.h" @ONLY)
foreach(manifest Brisklode brisklode-cli)
  configure_file("${PROJECT_SOURCE_DIR}/resources/${manifest}.manifest.in"
                 "${BRISKLODE_GENERATED_DIR}/${manifest}.manifest" @ONLY)
endforeach()
file(WRITE "${PROJECT_BINARY_DIR}/version.env"
     "BRISKLODE_VERSION=${BRISKLODE_VERSION_TEXT}\nBRISKLODE_VERSION_QUAD=${BRISKLODE_VERSION_QUAD}\n")
