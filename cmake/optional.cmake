# vk_optional(<switch> <package> <what> <Debian packages>...): looks for the
# package that a part of the build needs, as its switch says: ON requires
# it, AUTO takes the part when the package is found and says so when it is
# not, OFF leaves the part out. Sets <switch>_ON.
macro(vk_optional switch package what)
  set(${switch}_ON OFF)
  if(${switch} STREQUAL "AUTO")
    find_package(${package} QUIET)
    if(${package}_FOUND)
      set(${switch}_ON ON)
    else()
      string(REPLACE ";" ", " _vk_debs "${ARGN}")
      message(NOTICE "${what} left out: ${package} not found (${_vk_debs}: make test installs them)")
    endif()
  elseif(${switch})
    find_package(${package} REQUIRED)
    set(${switch}_ON ON)
  endif()
endmacro()
