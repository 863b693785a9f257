# AddressSanitizer and UndefinedBehaviorSanitizer, given to each target by skerrow_target_options.
set(SKERROW_SANITIZE_FLAGS -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
set(SKERROW_SANITIZE_LINK_FLAGS -fsanitize=address,undefined)
