add_compile_options(-Wall -Wextra)
if(PEMRA_WERROR)
  add_compile_options(-Werror)
endif()
