# The READMEs' examples say from where they run: a program under bin/ is named with its build
# folder (build/bin/..., build-bench/bin/...), never as a bare bin/... that only works from one
# place. Input: FILES, the markdown files.
foreach(file IN LISTS FILES)
  file(STRINGS ${file} lines)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    if(line MATCHES "(^|[ =`(])bin/[A-Za-z_]")
      message(SEND_ERROR "${file}:${number}: bin/ without the build folder it lies in:\n  ${line}")
    endif()
  endforeach()
endforeach()
