# Runs platform_probe with a key script and captures, and checks what it printed and wrote.
# BACKEND: headless, or sdl with ON_DISPLAY (testing/on_display.sh) and XVFB_RUN providing a display.
file(REMOVE_RECURSE ${OUT})
file(MAKE_DIRECTORY ${OUT})
set(run ${PROBE})
if(ON_DISPLAY)
  set(run sh ${ON_DISPLAY} ${XVFB_RUN} ${PROBE})
endif()
if(BACKEND STREQUAL "headless")
  set(ENV{PLATFORM_HEADLESS} 1)
else()
  unset(ENV{PLATFORM_HEADLESS})
endif()
set(ENV{PLATFORM_FRAMES} 30)
set(ENV{PLATFORM_KEYS} "10:F1, 12:move=5/7, 12:down=LBUTTON, 13:up=LBUTTON")
set(ENV{PLATFORM_CAPTURE} "${OUT}/f-%02d.png")
set(ENV{PLATFORM_CAPTURE_EVERY} 10)
set(ENV{PLATFORM_FIXED_STEP} 0.0333)
execute_process(COMMAND ${run} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "probe exited with ${rc}\n${out}\n${err}")
endif()
foreach(expect
    "back end: ${BACKEND}"
    "frame 0: WM_CREATE"
    "frame 0: WM_ACTIVATE WA_ACTIVE"
    "frame 10: WM_KEYDOWN key F1 vk=0x70 scan=0x3B extended=0 repeat=1 alt=0 previous=up press\n"
    "frame 10: WM_KEYUP key F1 vk=0x70 scan=0x3B extended=0 repeat=1 alt=0 previous=down release\n"
    "frame 12: WM_MOUSEMOVE x=5 y=7 keys=0\n"
    "frame 12: WM_LBUTTONDOWN x=5 y=7 keys=MK_LBUTTON\n"
    "frame 13: WM_LBUTTONUP x=5 y=7 keys=0\n"
    "frame 30: WM_QUIT exit code 0\n")
  string(FIND "${out}" "${expect}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing '${expect}' in:\n${out}")
  endif()
endforeach()
string(REGEX MATCHALL "WM_KEYDOWN" downs "${out}")
list(LENGTH downs n)
if(NOT n EQUAL 1)
  message(FATAL_ERROR "expected one key-down, got ${n}:\n${out}")
endif()
foreach(f 10 20 30)
  if(NOT EXISTS ${OUT}/f-${f}.png)
    message(FATAL_ERROR "capture of frame ${f} missing")
  endif()
endforeach()
file(GLOB pngs ${OUT}/*.png)
list(LENGTH pngs n)
if(NOT n EQUAL 3)
  message(FATAL_ERROR "expected 3 captures, got ${pngs}")
endif()

# A malformed control is refused, naming the variable.
set(ENV{PLATFORM_KEYS} "10:NOSUCHKEY")
execute_process(COMMAND ${run} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 2 OR NOT err MATCHES "PLATFORM_KEYS: item 1 '10:NOSUCHKEY': unknown key")
  message(FATAL_ERROR "malformed PLATFORM_KEYS: exit ${rc}, stderr: ${err}")
endif()

# A capture that cannot be written ends the run at the first due frame with one message and
# status 1, not a message per frame and status 0.
set(ENV{PLATFORM_KEYS} "")
set(ENV{PLATFORM_CAPTURE} "${OUT}/no-such-folder/f-%02d.png")
set(ENV{PLATFORM_CAPTURE_EVERY} 1)
execute_process(COMMAND ${run} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REGEX MATCHALL "PLATFORM_CAPTURE" reports "${err}")
list(LENGTH reports n)
if(NOT rc EQUAL 1 OR NOT n EQUAL 1 OR NOT err MATCHES "frame 1: cannot write '[^']*no-such-folder/f-01.png'"
   OR out MATCHES "WM_QUIT")
  message(FATAL_ERROR "unwritable capture: exit ${rc}, stdout:\n${out}\nstderr:\n${err}")
endif()
