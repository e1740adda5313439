# Flags shared by every target of the project, through one interface target.
add_library(stowkeep_common INTERFACE)
target_compile_features(stowkeep_common INTERFACE cxx_std_20)
target_compile_options(stowkeep_common INTERFACE
  -Wall -Wextra -Wold-style-cast -Wnon-virtual-dtor -Woverloaded-virtual)
target_compile_definitions(stowkeep_common INTERFACE
  QT_NO_CAST_FROM_ASCII QT_USE_QSTRINGBUILDER QT_NO_CONTEXTLESS_CONNECT)

option(STOWKEEP_WERROR "Treat compiler warnings as errors" OFF)
if(STOWKEEP_WERROR)
  target_compile_options(stowkeep_common INTERFACE -Werror)
endif()

option(STOWKEEP_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(STOWKEEP_SANITIZE)
  target_compile_options(stowkeep_common INTERFACE
    -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  target_link_options(stowkeep_common INTERFACE -fsanitize=address,undefined)
endif()
