# What makes a build a release: the version every program reports, and on
# Windows the resources, stripping and the settings that make two builds of one
# commit byte-identical.  Included before the targets (the compile and link
# options apply to the targets made after); tarsel_release_programs() is called
# once the programs exist.

# The build's architecture, as --version prints it.
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(TARSEL_ARCH windows-x64)
    set(TARSEL_BITS 64-bit)
  else()
    set(TARSEL_ARCH windows-x86)
    set(TARSEL_BITS 32-bit)
  endif()
else()
  set(TARSEL_ARCH linux-${CMAKE_SYSTEM_PROCESSOR})
endif()

add_library(tarsel_version INTERFACE)
target_include_directories(tarsel_version INTERFACE ${CMAKE_SOURCE_DIR})
target_compile_definitions(tarsel_version INTERFACE TARSEL_VERSION="${PROJECT_VERSION}" TARSEL_ARCH="${TARSEL_ARCH}")
# For tools/release.sh, which names the package after it.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/VERSION CONTENT "@PROJECT_VERSION@\n")

# Nothing of the build's place or time goes into a program: the paths of the
# sources and the build tree are mapped to fixed names, the date and time
# macros are an error, and the PE header carries no link time.
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=. -ffile-prefix-map=${CMAKE_BINARY_DIR}=build -Wdate-time)
if(WIN32)
  add_link_options(-Wl,--no-insert-timestamp)
endif()

# Gives each shipped Windows program its version resource and manifest and
# links it stripped.  Arguments: pairs of target and description.
function(tarsel_release_programs)
  if(NOT WIN32)
    return()
  endif()
  set(TARSEL_RC_MANIFEST ${CMAKE_SOURCE_DIR}/release/enumerate-tarsel.manifest)
  while(ARGN)
    list(POP_FRONT ARGN target description)
    set(TARSEL_RC_NAME ${target})
    set(TARSEL_RC_DESCRIPTION "${description} (${TARSEL_BITS})")
    set(dir ${CMAKE_BINARY_DIR}/resources/${target})
    configure_file(${CMAKE_SOURCE_DIR}/release/resources.rc.in ${dir}/resources.rc @ONLY)
    add_custom_command(OUTPUT ${dir}/resources.o
                       COMMAND ${CMAKE_RC_COMPILER} --input-format=rc --output-format=coff
                               -i ${dir}/resources.rc -o ${dir}/resources.o
                       DEPENDS ${dir}/resources.rc ${TARSEL_RC_MANIFEST}
                       VERBATIM)
    set_source_files_properties(${dir}/resources.o PROPERTIES EXTERNAL_OBJECT TRUE GENERATED TRUE)
    target_sources(${target} PRIVATE ${dir}/resources.o)
    target_link_options(${target} PRIVATE -s)
  endwhile()
endfunction()
