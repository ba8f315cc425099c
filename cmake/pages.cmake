# Pages kept as real source files, embedded at build time by tools/embed_page.py.
include(${CMAKE_SOURCE_DIR}/dashboard/page.cmake OPTIONAL)
include(${CMAKE_SOURCE_DIR}/fleet/page.cmake OPTIONAL)
