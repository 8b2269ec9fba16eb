# Every Windows executable of the project carries the same application
# manifest: UTF-8 as the process's code page (command-line arguments, file
# names and console text in UTF-8, as on Linux), Windows 10/11 as the systems
# it was built for, and no elevation. A target with the property
# KT_OWN_MANIFEST embeds its own (the window's adds the common controls).
set(KT_MANIFEST_RC ${PROJECT_SOURCE_DIR}/src/platform/win32/manifest.rc)

function(kt_embed_manifest_in_executables dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(target IN LISTS targets)
    get_target_property(type ${target} TYPE)
    get_target_property(own ${target} KT_OWN_MANIFEST)
    if(type STREQUAL "EXECUTABLE" AND NOT own)
      target_sources(${target} PRIVATE ${KT_MANIFEST_RC})
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(subdir IN LISTS subdirs)
    kt_embed_manifest_in_executables(${subdir})
  endforeach()
endfunction()
