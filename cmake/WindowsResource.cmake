# Writes the Windows version resource script from the program's identity.
# Usable from the build (include) and from scripts (cmake -P with
# -DCORVANE_COMPANY_NAME=... -DCORVANE_PRODUCT_NAME=... -DCORVANE_FILE_VERSION=...
# -DRC_TEMPLATE=... -DRC_OUTPUT=...).
function(corvane_write_windows_resource template output)
    string(REPLACE "." "," CORVANE_VERSION_COMMAS "${CORVANE_FILE_VERSION}")
    configure_file(${template} ${output} @ONLY)
endfunction()

if(CMAKE_SCRIPT_MODE_FILE)
    corvane_write_windows_resource(${RC_TEMPLATE} ${RC_OUTPUT})
endif()
