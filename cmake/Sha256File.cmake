# cmake -DFILE=<file> -P Sha256File.cmake: <file>.sha256 beside it, as sha256sum -c reads it
# (the same form as CPack's checksum files).
file(SHA256 "${FILE}" sum)
get_filename_component(name "${FILE}" NAME)
file(WRITE "${FILE}.sha256" "${sum}  ${name}\n")
