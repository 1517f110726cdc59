# Shared build settings. Every target of ours goes through kestrune_target_defaults.
if(KESTRUNE_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

function(kestrune_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# Sources of a core folder: every .cpp beside its CMakeLists.txt.
function(kestrune_core_folder)
  file(GLOB _src CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  target_sources(kestrune_core PRIVATE ${_src})
endfunction()
