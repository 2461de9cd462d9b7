# Helpers shared by the CMake files of the tree.

# Globs `pattern` under `dir` and drops the files of the other platform (Foo_win32.cpp / Foo_posix.cpp).
function(brisklode_glob_platform out dir pattern)
  file(GLOB files CONFIGURE_DEPENDS "${dir}/${pattern}")
  if(WIN32)
    list(FILTER files EXCLUDE REGEX "_posix\\.(c|cpp)$")
  else()
    list(FILTER files EXCLUDE REGEX "_win32\\.(c|cpp)$")
  endif()
  set(${out} ${files} PARENT_SCOPE)
endfunction()
