# The headers comment their members with plain "//" lines; the API
# reference takes those lines as the documentation of what follows them.
s|^\([[:space:]]*\)//\([[:space:]]\)|\1///\2|
s|^\([[:space:]]*\)//$|\1///|
