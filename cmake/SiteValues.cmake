# The distribution site's values: one set of cache variables feeds the program
# (through a generated header) and the tests (through a generated JSON file).
set(TALLYWISE_WEB_HOST "www.brindlecove.example" CACHE STRING "Web host that serves /meterobj1.txt")
set(TALLYWISE_WEB_DOMAIN "brindlecove.example" CACHE STRING "Vendor web domain shown while downloading")
set(TALLYWISE_SECOND_DOMAIN "brindlecove-files.example" CACHE STRING "Second vendor domain fetched past any cache")
set(TALLYWISE_CONFIG_KEY "77" CACHE STRING "Offset (0..255) that encodes the site configuration")

foreach(_name TALLYWISE_WEB_HOST TALLYWISE_WEB_DOMAIN TALLYWISE_SECOND_DOMAIN)
  # Host names end up inside C string literals and URLs.
  if(NOT "${${_name}}" MATCHES "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")
    message(FATAL_ERROR "${_name} must be a host or domain name, got '${${_name}}'")
  endif()
endforeach()

if(NOT TALLYWISE_CONFIG_KEY MATCHES "^[0-9]+$")
  message(FATAL_ERROR "TALLYWISE_CONFIG_KEY must be a decimal number 0..255, got '${TALLYWISE_CONFIG_KEY}'")
endif()
if(TALLYWISE_CONFIG_KEY GREATER 255)
  message(FATAL_ERROR "TALLYWISE_CONFIG_KEY must be a decimal number 0..255, got '${TALLYWISE_CONFIG_KEY}'")
endif()
# Leading zeros would turn the value into an octal literal in C.
math(EXPR TALLYWISE_CONFIG_KEY "${TALLYWISE_CONFIG_KEY}")

# A key that turns a host name character into NUL, LF or the end-of-data mark
# could not publish any FTP host: refuse it here rather than at the vendor's site.
foreach(_range "45;46" "48;57" "65;90" "97;122")
  list(GET _range 0 _first)
  list(GET _range 1 _last)
  foreach(_code RANGE ${_first} ${_last})
    math(EXPR _encoded "(${_code} + ${TALLYWISE_CONFIG_KEY}) % 256")
    if(_encoded EQUAL 0 OR _encoded EQUAL 10 OR _encoded EQUAL 26)
      string(ASCII ${_code} _char)
      message(FATAL_ERROR "TALLYWISE_CONFIG_KEY ${TALLYWISE_CONFIG_KEY} cannot carry the host name character '${_char}'; choose another key")
    endif()
  endforeach()
endforeach()

configure_file(${CMAKE_CURRENT_LIST_DIR}/site_values.h.in ${CMAKE_BINARY_DIR}/generated/site_values.h @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/site_values.json.in ${CMAKE_BINARY_DIR}/site_values.json @ONLY)
