# imbrix_embed_version_info(<target> [ORIGINAL_FILENAME name] [FILE_DESCRIPTION text]
#                           [INTERNAL_NAME name])
#
# Gives an executable its version block: the project's version and names in the
# VS_VERSIONINFO layout, in the ELF section ".imbrix_version", generated at build
# time by imbrix_versioninfo_gen (tools/versioninfo). OriginalFilename defaults to
# the target's OUTPUT_NAME (or its name); FileDescription and InternalName default
# to the product name.
include_guard(GLOBAL)

function(imbrix_embed_version_info target)
  # The reader (app/versioninfo.cpp) looks for this section name. It is set here,
  # not beside the include guard, because the function runs in folders that never
  # saw the include's variables.
  set(section ".imbrix_version")
  cmake_parse_arguments(ARG "" "ORIGINAL_FILENAME;FILE_DESCRIPTION;INTERNAL_NAME" "" ${ARGN})
  if(NOT ARG_ORIGINAL_FILENAME)
    get_target_property(ARG_ORIGINAL_FILENAME ${target} OUTPUT_NAME)
    if(NOT ARG_ORIGINAL_FILENAME)
      set(ARG_ORIGINAL_FILENAME ${target})
    endif()
  endif()
  if(NOT ARG_FILE_DESCRIPTION)
    set(ARG_FILE_DESCRIPTION ${IMBRIX_PRODUCT})
  endif()
  if(NOT ARG_INTERNAL_NAME)
    set(ARG_INTERNAL_NAME ${IMBRIX_PRODUCT})
  endif()
  set(version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR})
  if(PROJECT_VERSION_PATCH STREQUAL "")
    string(APPEND version ".0")
  else()
    string(APPEND version ".${PROJECT_VERSION_PATCH}")
  endif()
  if(PROJECT_VERSION_TWEAK STREQUAL "")
    string(APPEND version ".0")
  else()
    string(APPEND version ".${PROJECT_VERSION_TWEAK}")
  endif()

  set(output ${CMAKE_CURRENT_BINARY_DIR}/${target}_versioninfo.cpp)
  add_custom_command(
    OUTPUT ${output}
    COMMAND imbrix_versioninfo_gen
            --output ${output}
            --section ${section}
            --version ${version}
            --string "CompanyName=${IMBRIX_COMPANY}"
            --string "FileDescription=${ARG_FILE_DESCRIPTION}"
            --string "FileVersion=${version}"
            --string "InternalName=${ARG_INTERNAL_NAME}"
            --string "OriginalFilename=${ARG_ORIGINAL_FILENAME}"
            --string "ProductName=${IMBRIX_PRODUCT}"
            --string "ProductVersion=${version}"
    DEPENDS imbrix_versioninfo_gen ${PROJECT_SOURCE_DIR}/CMakeLists.txt
    COMMENT "Version block of ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${output})
endfunction()
