if(PEMRA_SANITIZE)
  add_compile_options(-fsanitize=${PEMRA_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${PEMRA_SANITIZE})
endif()
