# Warning and sanitizer helpers shared by every target of ours.

function(olmarest_warnings target)
    target_compile_options(${target} PRIVATE -Wall -Wextra -Wshadow)
    if(OLMAREST_WERROR)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
endfunction()

if(OLMAREST_SANITIZE)
    add_compile_options(-fsanitize=${OLMAREST_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
    add_link_options(-fsanitize=${OLMAREST_SANITIZE})
endif()
