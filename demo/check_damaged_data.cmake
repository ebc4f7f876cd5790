# The game on damaged copies of its data folder, a few frames headless each: every refusal says
# what is wrong (the file, the section or attribute, the cause) and ends with a failing status.
# Input: GAME (dunmarrow), AISDUMP (aisdump), DATA (the folder mkasset demo made), WORK (scratch).

set(failures "")

# A fresh copy of the data folder.
macro(fresh)
  file(REMOVE_RECURSE ${WORK})
  file(COPY ${DATA}/ DESTINATION ${WORK})
endmacro()

# config.xml with the text old replaced by new (old must be there, or the case would test nothing).
function(edit_config old new)
  file(READ ${WORK}/config.xml text)
  string(FIND "${text}" "${old}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "config.xml holds no '${old}'")
  endif()
  string(REPLACE "${old}" "${new}" text "${text}")
  file(WRITE ${WORK}/config.xml "${text}")
endfunction()

# config.xml without what the regular expression matches (it must match).
function(remove_from_config pattern)
  file(READ ${WORK}/config.xml text)
  if(NOT text MATCHES "${pattern}")
    message(FATAL_ERROR "config.xml holds nothing like '${pattern}'")
  endif()
  string(REGEX REPLACE "${pattern}" "" text "${text}")
  file(WRITE ${WORK}/config.xml "${text}")
endfunction()

# The file cut to its first `size` bytes.
function(cut file size)
  execute_process(COMMAND truncate -s ${size} ${WORK}/${file} RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "cannot cut ${file}")
  endif()
endfunction()

# The file's bytes replaced by a line of text that is no such file.
function(spoil file)
  if(NOT EXISTS ${WORK}/${file})
    message(FATAL_ERROR "the data folder holds no ${file}")
  endif()
  file(WRITE ${WORK}/${file} "not what its name says\n")
endfunction()

# A 32-bit word of a data file set to value (hex): at "diffuse" the first material's diffuse
# lighting (the last word of its struct, just before its texture chunk), at "texture" the type of
# that texture chunk's struct, else at the byte offset given.
function(damage_word file at value)
  execute_process(COMMAND python3 -c "import struct,sys
p,at,value=sys.argv[1:4]; d=bytearray(open(p,'rb').read()); tex=d.find(struct.pack('<II',6,64))
at={'diffuse':tex-4,'texture':tex+12}.get(at) or int(at)
d[at:at+4]=struct.pack('<I',int(value,16)); open(p,'wb').write(d)" ${WORK}/${file} ${at} ${value}
                  RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "cannot damage ${file}")
  endif()
endfunction()

# Runs the game and checks its status and standard error: SAYS texts that must appear, NEVER texts
# that must not, ONCE texts that must appear exactly once. ENV: more environment settings.
function(expect name)
  cmake_parse_arguments(E "" "STATUS" "SAYS;NEVER;ONCE;ENV" ${ARGN})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env PLATFORM_HEADLESS=1 PLATFORM_FRAMES=3
                          PLATFORM_FIXED_STEP=0.016666666666666666 ${E_ENV} ${GAME}
                  WORKING_DIRECTORY ${WORK} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err
                  TIMEOUT 300)
  set(wrong "")
  if(NOT code STREQUAL E_STATUS)
    string(APPEND wrong "  status ${code}, not ${E_STATUS}\n")
  endif()
  foreach(text IN LISTS E_SAYS)
    string(FIND "${err}" "${text}" at)
    if(at EQUAL -1)
      string(APPEND wrong "  no \"${text}\"\n")
    endif()
  endforeach()
  foreach(text IN LISTS E_NEVER)
    string(FIND "${err}" "${text}" at)
    if(NOT at EQUAL -1)
      string(APPEND wrong "  \"${text}\" said\n")
    endif()
  endforeach()
  foreach(text IN LISTS E_ONCE)
    string(REPLACE "${text}" "\n" marked "${err}")
    string(LENGTH "${err}" before)
    string(LENGTH "${marked}" after)
    string(LENGTH "${text}" one)
    math(EXPR times "(${before} - ${after}) / (${one} - 1)")
    if(NOT times EQUAL 1)
      string(APPEND wrong "  \"${text}\" said ${times} times\n")
    endif()
  endforeach()
  if(NOT wrong STREQUAL "")
    set(failures "${failures}${name}:\n${wrong}  standard error:\n${err}\n" PARENT_SCOPE)
  endif()
endfunction()

# A fresh copy whose config.xml has old replaced by new: the game refuses it (status 1) and says
# what expect's other arguments ask for.
function(config_case name old new)
  fresh()
  edit_config("${old}" "${new}")
  expect("${name}" STATUS 1 ${ARGN})
  set(failures "${failures}" PARENT_SCOPE)
endfunction()

set(update "section.\nPlease update your XML file")
set(outside "is outside")
set(bodies "maxRegistered=\"400\" maxActive=\"300\"")

# The undamaged folder plays: status 0, nothing said.
fresh()
expect("undamaged" STATUS 0 NEVER "error handler")

# Statuses: a configuration error keeps the window until the frames stop, a graphics open that fails.
fresh()
file(REMOVE ${WORK}/config.xml)
expect("no config.xml" STATUS 1 SAYS "Configuration file not found")
# Without a frame limit too: headless, nobody can close the stopped game's window, so it closes.
expect("no config.xml, no frame limit" STATUS 1 ENV PLATFORM_FRAMES= SAYS "Configuration file not found")
fresh()
expect("graphics open refused" STATUS 1 ENV PLATFORM_DIALOG=1002 SAYS "Error initializing Orvanta.")

# Sizes and counts held to their ranges, negatives and numbers that are no whole numbers refused.
foreach(size -1 0 2147483648 4294967295 1e20 abc 8388608x)
  config_case("RessourceArena size ${size}" "size=\"8388608\"" "size=\"${size}\""
              SAYS "'size' attribute not found in 'RessourceArena' ${update}" "config.xml line")
endforeach()
config_case("Bodies maxRegistered -1" "${bodies}" "maxRegistered=\"-1\" maxActive=\"300\""
            SAYS "'MaxRegistered' attribute not found in 'Bodies' ${update}" "${outside}")
config_case("Bodies maxActive 1000000000" "${bodies}" "maxRegistered=\"400\" maxActive=\"1000000000\""
            SAYS "'MaxActive' attribute not found in 'Bodies' ${update}" "${outside}")
config_case("Bodies maxRegistered 4294967295" "${bodies}" "maxRegistered=\"4294967295\" maxActive=\"300\""
            SAYS "'MaxRegistered' attribute not found in 'Bodies' ${update}" "${outside}")
config_case("Joints max 4294967295" "<Joints max=\"20\"/>" "<Joints max=\"4294967295\"/>"
            SAYS "'Max' attribute not found in 'Joints' ${update}" "${outside}")
config_case("Bots number 292" "number=\"8\"" "number=\"292\""
            SAYS "'number' attribute not found in 'Bots' ${update}" "${outside}")

# The application's own section: every attribute missing or malformed.
config_case("Bots count" "<Bots number=\"8\">" "<Bots count=\"8\">"
            SAYS "'number' attribute not found in 'Bots' ${update}")
config_case("Player x zero" "<Player><InitialPosition x=\"0\"" "<Player><InitialPosition x=\"zero\""
            SAYS "'x' attribute not found in 'InitialPosition' ${update}" "'zero' is not a number")
config_case("AiPathData file" "<AiPathData value=" "<AiPathData file="
            SAYS "'value' attribute not found in 'AiPathData' ${update}")

# Without bots, or with a count below 0, the player plays alone (said).
fresh()
edit_config("<Bots number=\"8\"><InitialPosition x=\"-15\" y=\"0.45\" z=\"-8\"/></Bots>" "")
expect("no Bots" STATUS 0 SAYS "config.xml line 41: its 'Application' section has no 'Bots' section"
       "the player plays alone" NEVER "error handler")
fresh()
edit_config("number=\"8\"" "number=\"-1\"")
expect("Bots number -1" STATUS 0 SAYS "config.xml line 43: 'number' of 'Bots' is -1" "the player plays alone"
       NEVER "error handler")

# Every configuration message names the file and the line, a missing attribute why.
config_case("Bodies without maxActive" "${bodies}" "maxRegistered=\"400\""
            SAYS "'MaxActive' attribute not found in 'Bodies' ${update}\n'Bodies' has no attribute 'MaxActive' among its 1 (config.xml line 8).")
config_case("World without its name" "name=\"level\" flags" "flags"
            SAYS "'Flags' attribute not found in 'World' ${update}\nThe World has no name" "(config.xml line 17)")
config_case("scale 0" "<Scale value=\"1.0\"/>" "<Scale value=\"0\"/>"
            SAYS "'value' attribute not found in 'Scale' ${update}" "Its value 0 is outside 0 (not included) to 1000000"
            "(config.xml line 4)")
config_case("scale 1,0" "<Scale value=\"1.0\"/>" "<Scale value=\"1,0\"/>"
            SAYS "'value' attribute not found in 'Scale' ${update}" "Its value '1,0' is not a number.")
config_case("bot start 1e30" "x=\"-15\"" "x=\"1e30\""
            SAYS "'x' attribute not found in 'InitialPosition' ${update}" "Its value 1e30 is outside -1000000 to 1000000."
            "(config.xml line 43)")
config_case("bots far from the level" "x=\"-15\"" "x=\"5000\""
            SAYS "No free floor left for bot 0" "near the bots' start (5000, 0.45, -8)"
            "'Bots' section in config.xml line 43")
config_case("player below the floor" "<Player><InitialPosition x=\"0\" y=\"0.45\""
            "<Player><InitialPosition x=\"0\" y=\"-1\"" SAYS "No free floor for the player"
            "start (0, -1, 0), the 'InitialPosition' of the 'Player' section in config.xml line 42")
config_case("more bots than the AI world holds" "number=\"8\"" "number=\"200\""
            SAYS "The game holds at most 104 bots, not 200" "The count is 'number' of 'Bots', config.xml line 43.")
config_case("no AiPathData" "<AiPathData value=\"ai/dunmarrow.ais\"/>" ""
            SAYS "names no AI world file: its 'Application' section (config.xml line 41) has no 'AiPathData'"
            NEVER "Cannot open the AI world file ''")
config_case("AiPathData a folder" "value=\"ai/dunmarrow.ais\"" "value=\"ai/\""
            SAYS "The file 'ai/' is a folder, not a file.\nconfig.xml line 44 names it")
fresh()
file(REMOVE ${WORK}/config.xml)
file(MAKE_DIRECTORY ${WORK}/config.xml)
expect("config.xml a folder" STATUS 1 SAYS "The file 'config.xml' is a folder, not a file.")
# A file name longer than 511 characters is kept whole: its box names the line that names it.
string(REPEAT "./" 300 long)
foreach(pair "clump=\"models/;soldier_red.dff;94 names it ('clump' of 'Geometry')"
             "clumpFilename=\"models/;crate.dff;142 names it ('clumpFilename' of 'Box')")
  list(GET pair 0 attribute)
  list(GET pair 1 file)
  list(GET pair 2 named)
  config_case("${file} named by ${long}" "${attribute}${file}" "${attribute}${long}no_${file}"
              SAYS "/no_${file}' is not there.\nconfig.xml line ${named}.")
endforeach()
config_case("level named by ${long}" "\"models/level.bsp" "\"${long}models/level.bsp"
            SAYS "/models/level.bsp' is there, but its name is longer than the 255 characters the game opens.")
# The sections and elements the game needs, missing: the box names the element that should hold them.
fresh()
remove_from_config("<Worlds>.*</Worlds>")
expect("no Worlds" STATUS 1 SAYS "config.xml has no level: its 'Config' element (config.xml line 2) has no 'Worlds'")
fresh()
edit_config("<InitialPosition x=\"-15\" y=\"0.45\" z=\"-8\"/>" "")
expect("Bots without InitialPosition" STATUS 0 NEVER "error handler"
       SAYS "config.xml line 43: its 'Bots' section gives no 'InitialPosition': the bots start near 0, 0, 0")
# Whatever the section, what it does not use is said: the level objects after a 'Hud' left open.
fresh()
edit_config("<Hud/>" "<Hud>")
expect("Hud left open" STATUS 0 NEVER "error handler"
       SAYS "config.xml line 153: 'Switch' is not an element the 'Hud' section knows"
       "config.xml line 159: 'Door' is not an element the 'Hud' section knows")
# A misspelt section is said with its line, and named in the box of what is missing.
foreach(pair "Application;Aplication;>" "Camera;Cmera; " "Worlds;Wrlds;>")
  list(GET pair 0 right)
  list(GET pair 1 wrong)
  list(GET pair 2 after)
  fresh()
  edit_config("<${right}${after}" "<${wrong}${after}")
  edit_config("</${right}>" "</${wrong}>")
  expect("misspelt ${right}" STATUS 1 SAYS "' is not a section the game knows; it is left out (is it '${right}' misspelt?)"
         "'${wrong}' stands where '${right}' would, an element the game does not know")
endforeach()
config_case("Geometry without its model" " clump=\"models/soldier_red.dff\"" ""
            SAYS "The character profile 'RedSoldier' names no model: its 'Character' section (config.xml line 93)")
config_case("Geometry misspelt" "<Geometry clump=\"models/soldier_red.dff\"" "<Geomtry clump=\"models/soldier_red.dff\""
            SAYS "(config.xml line 93) has no 'Geometry'" "config.xml line 94: 'Geomtry' stands where 'Geometry' would")
# A profile the player or the bots play that config.xml does not hold: the section that plays it.
config_case("no profile for the player" "name=\"BlueSoldier\"" "name=\"Blue\""
            SAYS "no 'Character' section named 'BlueSoldier', the profile of the 'Player' section (config.xml line 42): its 'Config' element (config.xml line 2) has none of that name.")
config_case("no profile for the bots" "name=\"RedSoldier\"" "name=\"Red\""
            SAYS "no 'Character' section named 'RedSoldier', the profile of the 'Bots' section (config.xml line 43)")
# Numbers no level could hold, and objects left out, are said; the game plays on.
fresh()
edit_config("<Gravity x=\"0\" y=\"-10\"" "<Gravity x=\"0\" y=\"1e30\"")
expect("gravity 1e30" STATUS 0
       SAYS "config.xml line 12: 'y' of 'Gravity' is '1e30', outside -1000000 to 1000000; the game uses -10 instead"
       NEVER "error handler")
fresh()
edit_config(" mass=\"10\"" "")
expect("Box without its mass" STATUS 0 SAYS "config.xml line 142: the 'Box' \"crate\" has no 'mass'" "left out"
       NEVER "error handler")
fresh()
edit_config("<Position x=\"-20\" y=\"30\" z=\"-10\"/>" "<Position x=\"-20\" y=\"30\"/>")
expect("light position without z" STATUS 0 SAYS "config.xml line 29: a light's point without its x, y and z" NEVER
       "error handler")
fresh()
edit_config("<Animation name=\"Run\"" "<Animation name=\"4294967295\"")
expect("animation name unknown" STATUS 0
       SAYS "config.xml line 100: an 'Animation' named '4294967295' is no animation a character plays" NEVER
       "error handler")
fresh()
edit_config("<Debug level=\"1\"/>" "<Debug level=\"abc\"/>")
expect("debug level abc" STATUS 0
       SAYS "config.xml line 3: 'level' of 'Debug' is 'abc', not a whole number; the game uses 0 instead"
       NEVER "error handler")
# Every number held to its range: outside, said with the value used, or refused where the game
# cannot play with it.
fresh()
edit_config("<Debug level=\"1\"/>" "<Debug level=\"9\"/>")
expect("debug level 9" STATUS 0 SAYS "config.xml line 3: 'level' of 'Debug' is '9', outside 0 to 3; the game uses 0 instead"
       NEVER "error handler")
fresh()
edit_config("fov=\"50\"" "fov=\"-50\"")
expect("fov -50" STATUS 0 SAYS "config.xml line 30: 'fov' of 'Camera' is '-50', outside 1 to 179; the game uses 40 instead"
       NEVER "error handler")
# The value used instead is inside the range too, where the game's own is not.
fresh()
edit_config("sphereRadius=\"0.4\"" "sphereRadius=\"0\"")
expect("sphereRadius 0" STATUS 0 SAYS "config.xml line 49: 'sphereRadius' of 'GlobalDynamics' is '0', outside 0 (not included) to 1000000; the game uses 0.4 instead"
       NEVER "error handler")
config_case("Speeds forwardRun 4,5" "forwardRun=\"4.5\"" "forwardRun=\"4,5\""
            SAYS "'forwardRun' attribute not found in 'Speeds' ${update}\nIts value '4,5' is not a number.")

# What used to start or stop without a word.
fresh()
remove_from_config("<Camera .*</Camera>")
expect("no Camera" STATUS 1 SAYS "config.xml has no 'Camera' section: its 'Config' element (config.xml line 2) has none after its 'Worlds' section (config.xml line 6)")
config_case("no World" "<World filename=\"models/level.bsp\" name=\"level\" flags=\"0\"/>" ""
            SAYS "config.xml has no level: its 'Worlds' section (config.xml line 6) loads no 'World'")
config_case("World is a model" "filename=\"models/level.bsp\"" "filename=\"models/crate.dff\""
            SAYS "the world file 'models/crate.dff' holds no world" "config.xml has no level")
fresh()
# The level's bounding box (its first float, 64 bytes in) made not a number.
damage_word(models/level.bsp 64 7FFFFFFF)
expect("level bounds not a number" STATUS 1 SAYS "Can not load world in file models/level.bsp"
       "Its world's bounds are not finite")
fresh()
cut(models/level.bsp 11)
expect("level cut to 11 bytes" STATUS 1 SAYS "the world file 'models/level.bsp' holds no world" "config.xml has no level")
fresh()
damage_word(models/level.bsp diffuse 7FFFFFFF)
expect("level material lighting not a number" STATUS 1 SAYS "Can not load world in file models/level.bsp"
       "Its material 0 has lighting values (ambient, specular, diffuse) that are not numbers")
fresh()
damage_word(models/crate.dff diffuse 7FFFFFFF)
expect("crate material lighting not a number" STATUS 1 SAYS "Can not load clump in file models/crate.dff"
       "Its material 0 has lighting values")
fresh()
# The box's far z (72 bytes in) made -0: the level's far half lies outside it, and so would the
# crates there.
damage_word(models/level.bsp 72 80000000)
expect("level box not holding its sectors" STATUS 1 SAYS "Can not load world in file models/level.bsp"
       "Its world's bounds do not hold its sectors")
# A texture coordinate made not a number: of the level's third sector (33028 bytes in), of the
# crate (352 bytes in, its twentieth vertex's).
fresh()
damage_word(models/level.bsp 33028 7FFFFFFF)
expect("level texture coordinate not a number" STATUS 1 SAYS "Can not load world in file models/level.bsp"
       "Texture coordinates of its world are not numbers")
fresh()
damage_word(models/crate.dff 352 FFFFFFFF)
expect("crate texture coordinate not a number" STATUS 1 SAYS "Can not load clump in file models/crate.dff"
       "Positions, normals or texture coordinates of its geometry are not numbers")
foreach(file models/level.bsp models/crate.dff)
  fresh()
  damage_word(${file} texture 7FFFFFFF)
  expect("${file} texture record damaged" STATUS 0
         SAYS "${file}: a texture record of its materials does not read (it is damaged)" NEVER "error handler")
endforeach()
config_case("nearClip above farClip" "nearClip=\"0.1\" farClip=\"300\"" "nearClip=\"400\" farClip=\"300\""
            SAYS "'farClip' attribute not found in 'Camera' ${update}" "0 < nearClip < farClip")
foreach(type Spot "")
  fresh()
  edit_config("<Light type=\"Ambient\">" "<Light type=\"${type}\">")
  expect("Light type '${type}'" STATUS 0 SAYS "config.xml line" "a 'Light' of type '${type}', neither" NEVER
         "error handler")
endforeach()

# Damage the game plays on is said with the file and the line; what it cannot play with is refused.
foreach(flags -1 3)
  fresh()
  edit_config("name=\"level\" flags=\"0\"" "name=\"level\" flags=\"${flags}\"")
  expect("World flags ${flags}" STATUS 0 SAYS "config.xml line 17: 'flags' of 'World' is ${flags}" "not drawn"
         NEVER "error handler")
endforeach()
foreach(height -1 0)
  config_case("Geometry heigth ${height}" "heigth=\"1.8\"" "heigth=\"${height}\""
              SAYS "'heigth' attribute not found in 'Geometry' ${update}\nIts value ${height} is outside 0 (not included)"
              "(config.xml line 47)")
endforeach()
config_case("Speeds forwardRun 0" "forwardRun=\"4.5\"" "forwardRun=\"0\""
            SAYS "'forwardRun' attribute not found in 'Speeds' ${update}\nIts value 0 is outside 0 (not included)"
            "(config.xml line 51)")
# A character's Actions (its speeds and animations) or Animations taken out: said with the start of
# the element that should hold them.
foreach(pair "Actions;its 'Character' section (config.xml line 46) has none" "Animations;config.xml line 50")
  list(GET pair 0 section)
  list(GET pair 1 holder)
  fresh()
  execute_process(COMMAND python3 -c "import re,sys
p,s=sys.argv[1:3]; t=open(p).read(); open(p,'w').write(re.sub('<'+s+'>.*?</'+s+'>','',t,flags=re.S))"
                          ${WORK}/config.xml ${section} RESULT_VARIABLE code)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "cannot take the ${section} out of config.xml")
  endif()
  expect("no ${section}" STATUS 1 NEVER "In config.xml line"
         SAYS "The character profile 'BlueSoldier' has no 'Animations' inside its 'Actions' (${holder})")
endforeach()
config_case("no Walk" "<Animation name=\"Walk\" file=\"models/anims/walk.anm\"/>" ""
            SAYS "'Walk' animation definition not found in XML\nPlease update your XML file\nThe character profile 'BlueSoldier' has no 'Walk' animation: its 'Animations' (config.xml line 52) names none.")
config_case("no camera mode" "<Mode value=\"Fixed\"/><Mode value=\"Follow\"/><Mode value=\"FPS\"/><Mode value=\"Path\"/><Mode value=\"Free\"/>" "\n"
            SAYS "Empty camera switch sequence.\nPlease fix the 'SwitchSequence' section in your XML file\nIts 'SwitchSequence' (config.xml line 31) names no 'Mode'.")
# Elements a section reads only elsewhere: each said with where it is read.
fresh()
edit_config("<Gravity x=\"0\" y=\"-10\" z=\"0\"/>" "")
edit_config("</PhysicsGlobalSettings>" "</PhysicsGlobalSettings><Gravity x=\"0\" y=\"-10\" z=\"0\"/>")
edit_config("<Sphere name=\"ball\" clumpFilename=\"models/barrel.dff\"/>\n    </Models>"
            "</Models><Sphere name=\"ball\" clumpFilename=\"models/barrel.dff\"/>")
edit_config("<InitialPosition x=\"-15\" y=\"0.45\" z=\"-8\"/></Bots>" "</Bots><InitialPosition x=\"-15\" y=\"0.45\" z=\"-8\"/>")
expect("elements out of their place" STATUS 0 NEVER "error handler"
       SAYS "config.xml line 16: 'Gravity' is not an element the 'Worlds' section knows at this place"
       "left out: 'Gravity' is read only inside 'PhysicsGlobalSettings'\n"
       "config.xml line 43: 'InitialPosition' is not an element the 'Application' section knows at this place"
       "left out: 'InitialPosition' is read only inside 'Player' or 'Bots'\n"
       "config.xml line 143: 'Sphere' is not an element the 'Physics' section knows at this place"
       "left out: 'Sphere' is read only inside 'Models'\n")
config_case("World without its filename" "filename=\"models/level.bsp\" " ""
            SAYS "config.xml line 17: a 'World' without its 'filename' first is left out" "config.xml has no level")
fresh()
edit_config("<Color r=\"0.45\"" "<Color r=\"-0.1\"")
expect("light colour below 0" STATUS 0 SAYS "config.xml line 27: 'r' of 'Color' is '-0.1', outside 0 to 1; the game uses"
       NEVER
       "error handler")
fresh()
edit_config("<Instance model=\"ball\"" "<Instance")
expect("Instance without its model" STATUS 0 SAYS "config.xml line 149: an 'Instance' without its 'model'" NEVER
       "error handler")
fresh()
edit_config("width=\"2\" height=\"2\"" "width=\"0\" height=\"2\"")
expect("door with a width of 0" STATUS 0 SAYS "config.xml line 159: a 'Door' whose width, height or depth is not above 0"
       NEVER "error handler")
fresh()
edit_config("switch=\"LiftSwitch\"" "switch=\"Nobody\"")
expect("lift without its switch" STATUS 0 SAYS "config.xml line 154: a 'Lift' names the switch 'Nobody'" NEVER
       "error handler")
fresh()
edit_config("mass=\"10\"" "mass=\"-10\"")
expect("Box mass below 0, a density" STATUS 0 NEVER "Warning" "error handler")
fresh()
edit_config("<Gravity x=\"0\" y=\"-10\"" "<Gravity x=\"0\" y=\"-10xyz\"")
expect("gravity with letters after it" STATUS 0 SAYS "config.xml line 12: 'y' of 'Gravity' is '-10xyz', not a number"
       NEVER "error handler")
config_case("element left open" "<Joints max=\"20\"/>" "<Joints max=\"20\">"
            SAYS "config.xml line 9: 'Joints' opened there is not closed (at line 16: mismatched tag)"
            "names no AI world file: its 'Config' element (config.xml line 2) has no 'Application' section.\nPlease update your XML file\nconfig.xml line 9: 'Joints' opened there")
# A section left open holds the sections after it: each is said and left out, and what the game
# then misses stops it.
config_case("Input left open" "<MouseMode Value=\"1\"/></Input>" "<MouseMode Value=\"1\"/>"
            SAYS "config.xml line 30: 'Camera' is not an element the 'Input' section knows; it is left out"
            "has no 'Application' section" "config.xml line 26: 'Input' opened there is not closed")

# Messages that name the file that does not read, and why.
# A file taken away or spoilt: one box, however many objects load the file, whose last line is the
# line of config.xml that names the file, or, for a file config.xml does not name, the file's own
# path; never the line of config.xml being read. Each row: the file removed or spoilt, the status,
# the start of the box (or warning) and its end.
foreach(row
    "remove models/crate.dff|1|Can not load clump in file models/crate.dff|config.xml line 142 names it ('clumpFilename' of 'Box')."
    "spoil models/crate.dff|1|Can not load clump in file models/crate.dff|config.xml line 142 names it ('clumpFilename' of 'Box')."
    "remove models/barrel.dff|1|Can not load clump in file models/barrel.dff|config.xml line 143 names it ('clumpFilename' of 'Sphere')."
    "remove models/world.dff|1|Can not load clump in file ./Models/World.dff|config.xml line 49 names it ('sphereModel' of 'GlobalDynamics')."
    "remove models/soldier_red.dff|1|Can not load clump in file models/soldier_red.dff|config.xml line 94 names it ('clump' of 'Geometry')."
    "remove models/anims/walk.anm|1|Can not load 'Walk' animation|config.xml line 54 names it ('file' of 'Animation')."
    "remove ai/dunmarrow.ais|1|Cannot open the AI world file 'ai/dunmarrow.ais'|config.xml line 44 names it ('value' of 'AiPathData')."
    "remove models/level.bsp|1|Can not load world in file models/level.bsp|config.xml line 17 names it ('filename' of 'World')."
    "spoil models/level.bsp|1|Warning: the world file 'models/level.bsp' holds no world|it is left out. config.xml line 17 names it ('filename' of 'World')."
    "remove models/textures/crate.png|0|Warning: models/crate.dff: its texture 'crate' has no image|; its surfaces are drawn plain. config.xml line 142 names it ('clumpFilename' of 'Box')."
    "remove models/textures|1|Texture not found : 'TARGET.BMP'|The file 'MODELS/TEXTURES/TARGET.BMP' is not there."
    "remove models/textures/stTitle.bmp|1|Texture 'stTitle.bmp' not found|The file 'MODELS/TEXTURES/stTitle.bmp' is not there."
    "remove models/textures/particle.png|1|Texture file 'PARTICLE.PNG' not found|The file 'MODELS/TEXTURES/PARTICLE.PNG' is not there."
    "remove models/lift.dff|1|Can not load clump in file models/lift.dff|The file 'models/lift.dff' is not there."
    "remove FONTS/TSA16.met|1|Unable to load font TSA16|The file 'FONTS/TSA16.met' is not there."
    "remove models/revolution/spline.ovs|0|Warning: the camera path 'models/revolution/spline.ovs' does not read (it is not there)|the Path camera has no path")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 what)
  list(GET row 1 status)
  list(GET row 2 first)
  list(GET row 3 last)
  string(REPLACE " " ";" what "${what}")
  list(GET what 0 how)
  list(GET what 1 file)
  fresh()
  if(how STREQUAL "spoil")
    spoil(${file})
  else()
    file(REMOVE_RECURSE ${WORK}/${file})
  endif()
  set(never "In config.xml line")
  if(status EQUAL 0)
    list(APPEND never "error handler")
  endif()
  expect("${file} ${how}" STATUS ${status} ONCE "${first}" "${last}\n" NEVER ${never})
endforeach()
fresh()
spoil(models/textures/particle.png)
expect("damaged particle image" STATUS 1 ONCE "Texture file 'PARTICLE.PNG' not found"
       SAYS "'MODELS/TEXTURES/PARTICLE.PNG' is there but could not be read")
fresh()
spoil(models/textures/stText.bmp)
expect("damaged start screen image" STATUS 1 SAYS "Texture 'stText.bmp' not found"
       "'MODELS/TEXTURES/stText.bmp' is there but could not be read")
fresh()
spoil(models/anims/walk.anm)
expect("damaged animation" STATUS 1 SAYS "Can not load 'Walk' animation"
       "'models/anims/walk.anm' is there but could not be read" NEVER "definition not found in XML")
fresh()
spoil(models/textures/floor.png)
expect("damaged floor image" STATUS 1 SAYS "Can not load world in file models/level.bsp" "Its texture 'floor'")
fresh()
spoil(models/textures/crate.png)
expect("damaged crate image" STATUS 0 SAYS "models/crate.dff: its texture 'crate'" "models/textures/crate.png"
       NEVER "error handler")
fresh()
cut(models/revolution/spline.ovs 60)
expect("camera path cut short" STATUS 0 SAYS "the camera path 'models/revolution/spline.ovs' does not read"
       NEVER "error handler")
fresh()
spoil(FONTS/TSA16.png)
expect("damaged font image" STATUS 1 SAYS "Unable to load font TSA16" "'FONTS/TSA16.png' is there but could not be read")
fresh()
# The soldier's hierarchy (chunk 0x11E) holds its node count two words after its header.
execute_process(COMMAND python3 -c "import struct,sys
p=sys.argv[1]; d=bytearray(open(p,'rb').read()); at=d.find(struct.pack('<I',0x11E))
d[at+20:at+24]=bytes(4); open(p,'wb').write(d)" ${WORK}/models/soldier_red.dff RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "cannot write the soldier with no hierarchy nodes")
endif()
expect("soldier without hierarchy nodes" STATUS 1 SAYS "Can not load clump in file models/soldier_red.dff"
       "has no animation hierarchy")
fresh()
# A key of the idle animation given a value that is not a number.
damage_word(models/anims/idle.anm 2608 7FFFFFFF)
expect("animation key not a number" STATUS 1 SAYS "Can not load 'Idle' animation"
       "'models/anims/idle.anm' is there but could not be read")
fresh()
spoil(FONTS/TSA16.met)
expect("damaged font metrics" STATUS 1 SAYS "Unable to load font TSA16" "TSA16.met")
fresh()
# The metrics cut at the end of line 40: the glyphs before it are kept and the rest said.
execute_process(COMMAND python3 -c "import sys
p=sys.argv[1]; lines=open(p,'rb').read().split(b'\\n'); open(p,'wb').write(b'\\n'.join(lines[:40])+b'\\n')"
                ${WORK}/FONTS/TSA16.met RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "cannot cut the font metrics")
endif()
expect("font metrics cut at a line end" STATUS 0 SAYS "FONTS/TSA16.met:40: the font ends with no glyph for"
       NEVER "error handler")
# A line of the font metrics changed: each damaged line is said with the file, the line and its
# cause; a line that is not a glyph or a glyph lost is left out (a character the game draws lost with
# it said once more, after the font is read), a number that does not fit or a glyph line where the
# baseline belongs refuse the font. Each row: the text, what replaces it, the status, what is said
# (and what is said once).
foreach(row
    "\n33 |\n33 abc |0|FONTS/TSA16.met:5: not a glyph: its left edge 'abc' is not a number"
    "\n34 18 0 26 14\n|\n34 18 0 26\n|0|FONTS/TSA16.met:6: not a glyph: the line ends before its bottom edge"
    "\n32 |\n65535 |0|FONTS/TSA16.met:4: glyph code 65535 is no character\
|FONTS/TSA16.met: the font has no glyph for 1 of the characters the game draws (' ')"
    "\n122 |\n65535 |0|FONTS/TSA16.met:94: glyph code 65535 is no character\
|FONTS/TSA16.met: the font has no glyph for 1 of the characters the game draws ('z')"
    "\n32 |\n33 |0|FONTS/TSA16.met:5: glyph code 33 ('!') is given already at line 4"
    "\n33 9 0 17 14\n|\n33 9 0 9 14\n|0|FONTS/TSA16.met:5: glyph rectangle 9 0 9 14 has no width"
    "TSA16\n0\n|TSA16\n2147483647\n|1|FONTS/TSA16.met:3: baseline 2147483647 lies outside"
    "TSA16\n0\n|TSA16\n|1|FONTS/TSA16.met:3: no baseline line: this line holds the 5 numbers of a glyph"
    "\n32 0 0 8 14\n|\n32 0 0 8 2147483647\n|1|FONTS/TSA16.met:4: glyph rectangle 0 0 8 2147483647 lies outside the page"
    "\n32 0 0 8 14\n|\n32 0 0 4294967295 14\n|1|FONTS/TSA16.met:4: glyph right edge 4294967295 does not fit in 32 bits")
  string(REPLACE "|" ";" row "${row}")
  list(GET row 0 old)
  list(GET row 1 new)
  list(GET row 2 status)
  list(GET row 3 said)
  list(REMOVE_AT row 0 1 2 3) # what is said once
  fresh()
  file(READ ${WORK}/FONTS/TSA16.met text)
  string(REPLACE "${old}" "${new}" text "${text}")
  file(WRITE ${WORK}/FONTS/TSA16.met "${text}")
  if(status EQUAL 0)
    expect("font metrics '${new}'" STATUS 0 SAYS "Warning: ${said}" ONCE ${row} NEVER "error handler")
  else()
    expect("font metrics '${new}'" STATUS 1 SAYS "Unable to load font TSA16" "${said}")
  endif()
endforeach()
# A camera name config.xml gives, with characters beyond the font's last.
fresh()
edit_config("Player and team" "Player {and} team")
expect("camera name beyond the font" STATUS 0 NEVER "error handler"
       ONCE "FONTS/TSA16.met:94: the font ends with no glyph for 2 of the characters the game draws ('{', '}')")
# Room for fewer moving bodies than the level asks for (3 crates and a ball, the lift, the door, 9
# soldiers): one box with the count and the line of 'Bodies'.
foreach(room "2\" maxActive=\"2" "14\" maxActive=\"300" "400\" maxActive=\"14")
  config_case("room for ${room}" "${bodies}" "maxRegistered=\"${room}\"" ONCE "Dynamics not allocated"
              SAYS "The level asks for 15 moving bodies" "\nIn config.xml line 8.")
endforeach()

# The AI world file cut short: in its tree before the player (the exit status of a file without
# the player's entity is kept), and inside the path-cost and A* blocks.
execute_process(COMMAND ${AISDUMP} ${DATA}/ai/dunmarrow.ais OUTPUT_VARIABLE tree RESULT_VARIABLE code)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "aisdump cannot read the AI world file")
endif()
file(SIZE ${DATA}/ai/dunmarrow.ais size)
# The blocks follow the tree in order, each behind a 12-byte chunk header: each block's end is the
# file's size less the blocks (and headers) after it.
string(REGEX MATCHALL "value=\"C[A-Za-z]+Data\"\n *raw size=[0-9]+|raw size=[0-9]+" blocks "${tree}")
list(REVERSE blocks)
set(end ${size})
foreach(block IN LISTS blocks)
  string(REGEX MATCH "raw size=([0-9]+)" found "${block}")
  set(bytes ${CMAKE_MATCH_1})
  foreach(class CPathCostData CAstarData)
    string(FIND "${block}" "${class}" at)
    if(NOT at EQUAL -1)
      math(EXPR cutAt "${end} - ${bytes} / 2")
      fresh()
      cut(ai/dunmarrow.ais ${cutAt})
      expect("AI world cut inside its ${class} block" STATUS 1
             SAYS "The AI world file 'ai/dunmarrow.ais' is damaged" "'${class}'")
      set(cut_${class} ON)
    endif()
  endforeach()
  # The graph's own block (no data class before it): the graph is named, not the team.
  string(FIND "${block}" "Data" at)
  if(at EQUAL -1 AND NOT cut_graph)
    math(EXPR cutAt "${end} - ${bytes} / 2")
    fresh()
    cut(ai/dunmarrow.ais ${cutAt})
    expect("AI world cut inside its graph block" STATUS 1
           SAYS "The AI world file 'ai/dunmarrow.ais' is damaged: its graph 'MoveGraph' does not load"
           NEVER "Cannot create the bots' team")
    set(cut_graph ON)
  endif()
  math(EXPR end "${end} - ${bytes} - 12")
endforeach()
if(NOT cut_CPathCostData OR NOT cut_CAstarData OR NOT cut_graph)
  message(FATAL_ERROR "the AI world file holds no graph, path-cost or A* block")
endif()
# The tree ends where the first block starts; cut half way its entities are not there yet.
math(EXPR cutAt "${end} / 2")
fresh()
cut(ai/dunmarrow.ais ${cutAt})
expect("AI world cut before the player" STATUS 254 SAYS "'ai/dunmarrow.ais' holds no entity definition \"Player\""
       "cut short")

file(REMOVE_RECURSE ${WORK})
if(NOT failures STREQUAL "")
  message(FATAL_ERROR "${failures}")
endif()
