# Settings shared by every target of the project.

# The DLLs load into LSA and LogonUI: no runtime DLL may come along with them.
if(MSVC)
  set(CMAKE_MSVC_RUNTIME_LIBRARY "MultiThreaded$<$<CONFIG:Debug>:Debug>")
endif()

function(velkor_target_defaults target)
  target_compile_definitions(${target} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                               _WIN32_WINNT=0x0A00 WINVER=0x0A00)
  if(MSVC)
    target_compile_options(${target} PRIVATE /W4 /permissive- /utf-8)
  else()
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
                                             -Wno-sign-conversion -Wcast-align)
    target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  endif()
endfunction()

# Product code compiles without warnings. The cross build, which CI runs, turns them
# into errors; VELKOR_WARNINGS_AS_ERRORS does the same for an MSVC build.
option(VELKOR_WARNINGS_AS_ERRORS "Treat warnings in product code as errors" ${MINGW})
function(velkor_product_target target)
  velkor_target_defaults(${target})
  if(VELKOR_WARNINGS_AS_ERRORS)
    if(MSVC)
      target_compile_options(${target} PRIVATE /WX)
    else()
      target_compile_options(${target} PRIVATE -Werror)
    endif()
  endif()
endfunction()

# The product's one version (project() in CMakeLists.txt) as a header for code and
# resource scripts, and a version resource for each deliverable built from it.
enable_language(RC)
configure_file(${CMAKE_CURRENT_LIST_DIR}/VelkorVersion.h.in ${CMAKE_BINARY_DIR}/generated/VelkorVersion.h @ONLY)
add_library(velkor_version INTERFACE)
target_include_directories(velkor_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
set(VELKOR_VERSION_RC_TEMPLATE ${CMAKE_CURRENT_LIST_DIR}/VelkorVersion.rc.in)

# velkor_version_resource(target "File description" VFT_APP|VFT_DLL)
function(velkor_version_resource target description filetype)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "EXECUTABLE")
    set(VELKOR_RC_FILENAME ${target}.exe)
  else()
    set(VELKOR_RC_FILENAME ${target}.dll)
  endif()
  set(VELKOR_RC_DESCRIPTION "${description}")
  set(VELKOR_RC_FILETYPE ${filetype})
  configure_file(${VELKOR_VERSION_RC_TEMPLATE} ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc @ONLY)
  target_sources(${target} PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  target_link_libraries(${target} PRIVATE velkor_version)
endfunction()
