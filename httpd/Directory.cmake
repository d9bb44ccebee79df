# Virtual directories, built into the server engine's library. They answer through the
# client session (httpd/client), which in turn builds on this library: the two static
# libraries name each other so that either order on a link line resolves.
target_sources(orbiscope_httpd PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/HttpDirectory.cpp)
target_link_libraries(orbiscope_httpd PUBLIC orbiscope_httpd_client)
