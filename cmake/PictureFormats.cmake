# The picture formats as the manuals list them, NAME:ENDING[,ENDING...], in the
# order of the format table in imaging/PictureFile.cpp, which the programs use.
# The test PictureFormats.ManualsListTheTable fails when the two part.
set(KORVALIS_PICTURE_FORMATS "BMP:.bmp" "JPEG:.jpg,.jpeg" "PNG:.png")

# As roff for the manuals: "BMP, JPEG or PNG" and "\fI.bmp\fR, \fI.jpg\fR, ...".
set(names "")
set(endings "")
foreach(format IN LISTS KORVALIS_PICTURE_FORMATS)
    string(REPLACE ":" ";" parts "${format}")
    list(GET parts 0 name)
    list(GET parts 1 format_endings)
    list(APPEND names "${name}")
    string(REPLACE "," ";" format_endings "${format_endings}")
    foreach(ending IN LISTS format_endings)
        list(APPEND endings "\\fI${ending}\\fR")
    endforeach()
endforeach()
list(POP_BACK names last)
list(JOIN names ", " KORVALIS_MAN_PICTURE_FORMATS)
string(APPEND KORVALIS_MAN_PICTURE_FORMATS " or ${last}")
list(JOIN endings ", " KORVALIS_MAN_PICTURE_ENDINGS)
unset(names)
unset(endings)
unset(last)
