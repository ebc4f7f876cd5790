# mkasset demo writes the same bytes every time: two runs into two folders give the same files.
# Input: MKASSET (program), WORK (scratch folder).
file(REMOVE_RECURSE ${WORK})
foreach(run a b)
  execute_process(COMMAND ${MKASSET} demo --out ${WORK}/${run} RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "mkasset demo (run ${run}): status ${code}\n${out}\n${err}")
  endif()
endforeach()
file(GLOB_RECURSE files_a RELATIVE ${WORK}/a ${WORK}/a/*)
file(GLOB_RECURSE files_b RELATIVE ${WORK}/b ${WORK}/b/*)
list(SORT files_a)
list(SORT files_b)
if(NOT files_a STREQUAL files_b)
  message(FATAL_ERROR "the two runs wrote different files:\n${files_a}\n${files_b}")
endif()
foreach(required config.xml ai/dunmarrow.ais HTML/intro.html models/level.bsp FONTS/TSA16.met
                 models/soldier_red.dff models/lift.dff models/BoutonVert.dff models/BoutonRouge.dff
                 models/BoutonVertOn.dff models/BoutonRougeOn.dff models/textures/lift.png
                 models/textures/bouton_vert.png models/textures/particle.png models/textures/stText.bmp
                 models/textures/stScroll.bmp models/crate.dff)
  if(NOT EXISTS ${WORK}/a/${required})
    message(FATAL_ERROR "mkasset demo wrote no ${required}")
  endif()
endforeach()
# The configuration holds the start screen, the loose bodies and one of each level object.
file(READ ${WORK}/a/config.xml config)
foreach(element Hud Physics Switch Lift LaserBeam Teleporter Bumper JumpHelper Door CollisionPlane
                CollisionTriangle)
  string(REGEX MATCHALL "<${element}[ />]" found "${config}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "config.xml holds ${count} ${element} elements, not one")
  endif()
endforeach()
foreach(f IN LISTS files_a)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${WORK}/a/${f} ${WORK}/b/${f} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${f} differs between two runs")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
