# Included after project() (CMAKE_PROJECT_INCLUDE, from debian/rules): the
# source tree's path mapped to "." in everything the compiler records, as
# dpkg-buildflags maps it for a plain path, so that where the package was
# built leaves no trace in it. An option with a space is quoted by CMake
# where a flags variable would be split.
add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.")
