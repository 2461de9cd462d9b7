# The product version, written once in project(VERSION) and spelled here for every place that shows it:
# "1.00.06" in texts (window title, version block strings, --version, package names), 1.0.6.0 in the manifest
# and the version block's numbers. Generates BrisklodeVersion.h, the manifest and version.env for scripts/release.

foreach(part MINOR PATCH)
  set(padded "0${PROJECT_VERSION_${part}}")
  string(LENGTH "${padded}" length)
  math(EXPR start "${length} - 2")
  string(SUBSTRING "${padded}" ${start} 2 BRISKLODE_VERSION_${part}_2)
endforeach()
set(BRISKLODE_VERSION_TEXT "${PROJECT_VERSION_MAJOR}.${BRISKLODE_VERSION_MINOR_2}.${BRISKLODE_VERSION_PATCH_2}")
set(BRISKLODE_VERSION_QUAD "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

set(BRISKLODE_GENERATED_DIR "${PROJECT_BINARY_DIR}/generated")
configure_file("${PROJECT_SOURCE_DIR}/cmake/BrisklodeVersion.h.in" "${BRISKLODE_GENERATED_DIR}/BrisklodeVersion.h" @ONLY)
configure_file("${PROJECT_SOURCE_DIR}/resources/Brisklode.manifest.in" "${BRISKLODE_GENERATED_DIR}/Brisklode.manifest"
               @ONLY)
file(WRITE "${PROJECT_BINARY_DIR}/version.env"
     "BRISKLODE_VERSION=${BRISKLODE_VERSION_TEXT}\nBRISKLODE_VERSION_QUAD=${BRISKLODE_VERSION_QUAD}\n")
