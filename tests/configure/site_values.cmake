# Runs the site values' configure step on its own, so that tests can try
# settings without a whole build:
#   cmake -DOUTPUT_DIR=FOLDER -DTALLYWISE_...=VALUE -P tests/configure/site_values.cmake
cmake_minimum_required(VERSION 3.20)
set(CMAKE_BINARY_DIR "${OUTPUT_DIR}")
include(${CMAKE_CURRENT_LIST_DIR}/../../cmake/SiteValues.cmake)
