# The generated header am-build-paths.h: where the library headers were built, in the two spellings
# their failure messages use. Shared by the Windows build and the native sanitizer build.
function(am_configure_build_paths source_dir output_dir)
    string(REPLACE "/" "\\" library_dir "Z:${source_dir}/common/cpp/")
    string(REPLACE "\\" "\\\\" library_dir_plain_literal "${library_dir}")
    string(REPLACE "\\" "\\\\\\\\" library_dir_quoted_literal "${library_dir}")
    configure_file(${source_dir}/cmake/am-build-paths.h.in ${output_dir}/am-build-paths.h @ONLY)
endfunction()
