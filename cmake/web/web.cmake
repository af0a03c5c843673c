# What a WebAssembly build (emcmake, Emscripten) makes of each program: a
# module that the page's worker instantiates once and runs again for every
# file, through Emscripten's in-memory file system. Included from the top
# CMakeLists.txt when building with Emscripten; scripts/web.sh drives it.

# WebAssembly's 128-bit SIMD, which most browsers have but not all: web.sh
# builds the modules twice, without it and with it, and the page loads the
# second where a feature test finds it. The compiler then vectorises loops of
# its own accord, and the Dubois rule has a kernel of its own for it.
option(WEB_SIMD "Compile the modules for WebAssembly SIMD (-msimd128)" OFF)
if(WEB_SIMD)
  add_compile_options(-msimd128)
  add_link_options(-msimd128)
endif()

# Adds to program `tool` the link settings of a module for the page's worker:
# - MODULARIZE, EXPORT_NAME: a factory named after the tool, so that the
#   worker can hold the four tools side by side;
# - INVOKE_RUN=0, EXIT_RUNTIME=0: main runs only when the worker calls it,
#   once per file, and the runtime stays up between the calls;
# - FS and callMain exported: the worker writes the input, calls main with
#   its name, and reads the outputs back;
# - ALLOW_MEMORY_GROWTH: memory as the pictures need it, up to Emscripten's
#   2 GiB, which physical_memory() then reports;
# - DYNAMIC_EXECUTION=0: no eval, so that the page's content security policy
#   can forbid it;
# - SINGLE_FILE: the WebAssembly inside the script, so that a worker made
#   from the script's text fetches nothing (a page opened as a file may
#   fetch nothing).
function(stereo_web_module tool)
  target_link_options(${tool} PRIVATE
    -sMODULARIZE=1 -sEXPORT_NAME=${tool} -sENVIRONMENT=worker -sINVOKE_RUN=0 -sEXIT_RUNTIME=0
    -sFORCE_FILESYSTEM=1 "-sEXPORTED_RUNTIME_METHODS=[FS,callMain]" -sALLOW_MEMORY_GROWTH=1
    -sDYNAMIC_EXECUTION=0 -sSINGLE_FILE=1)
endfunction()
