# mkasset demo writes the same bytes every time: a second run gives the files of the build's own
# data folder, which the same program wrote at build time.
# Input: MKASSET (program), REFERENCE (the build's data folder), WORK (scratch folder).
file(REMOVE_RECURSE ${WORK})
execute_process(COMMAND ${MKASSET} demo --out ${WORK}/b RESULT_VARIABLE code OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "mkasset demo: status ${code}\n${out}\n${err}")
endif()
file(GLOB_RECURSE files_b RELATIVE ${WORK}/b ${WORK}/b/*)
foreach(required config.xml ai/dunmarrow.ais HTML/intro.html models/level.bsp FONTS/TSA16.met
                 models/soldier_red.dff models/lift.dff models/BoutonVert.dff models/BoutonRouge.dff
                 models/BoutonVertOn.dff models/BoutonRougeOn.dff models/textures/lift.png
                 models/textures/bouton_vert.png models/textures/particle.png models/textures/stText.bmp
                 models/textures/stScroll.bmp models/crate.dff)
  if(NOT EXISTS ${WORK}/b/${required})
    message(FATAL_ERROR "mkasset demo wrote no ${required}")
  endif()
endforeach()
# The configuration holds the start screen, the loose bodies and one of each level object.
file(READ ${WORK}/b/config.xml config)
foreach(element Hud Physics Switch Lift LaserBeam Teleporter Bumper JumpHelper Door CollisionPlane
                CollisionTriangle)
  string(REGEX MATCHALL "<${element}[ />]" found "${config}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "config.xml holds ${count} ${element} elements, not one")
  endif()
endforeach()
# Every file of the new run stands in the build's folder with the same bytes (a game run on that
# folder may add files of its own beside them).
foreach(f IN LISTS files_b)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${REFERENCE}/${f} ${WORK}/b/${f} RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${f} differs between two runs (the build's data folder and a new one)")
  endif()
endforeach()
file(REMOVE_RECURSE ${WORK})
