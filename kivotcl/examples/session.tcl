# A whole kivotcl session: make a few image files and keyword texts, build a
# catalog from them, query it by image, by stored key and by keyword, make
# thumbnails, and end the session.
#
#   kivotcl session.tcl workDirectory
#
# Everything is written under workDirectory (created if needed): the images in
# images/set1, their keyword texts in text/set1 (the text directory derived
# for an image found in images/set1: "text" beside the images' parent, then
# the image's own directory name), the database in db/ and the thumbnails in
# thumbs/.

if {$argc != 1} {
    puts stderr "usage: kivotcl session.tcl workDirectory"
    exit 2
}
set work [lindex $argv 0]
file mkdir $work
cd $work
file mkdir images/set1 text/set1 thumbs

# write_ppm file width height left right: a binary PPM image whose left half
# has colour left and right half colour right (each a list of three bytes).
proc write_ppm {file width height left right} {
    set f [open $file w]
    fconfigure $f -translation binary
    set half [expr {$width / 2}]
    set row [string repeat [binary format c3 $left] $half]
    append row [string repeat [binary format c3 $right] [expr {$width - $half}]]
    puts -nonewline $f "P6\n$width $height\n255\n"
    puts -nonewline $f [string repeat $row $height]
    close $f
}

# gif_size file: width x height from a GIF's logical screen descriptor.
proc gif_size {file} {
    set f [open $file r]
    fconfigure $f -translation binary
    binary scan [read $f 10] x6su2 size
    close $f
    return [join $size x]
}

# step label command: runs command in the caller, prints its label and
# result, and stops the session on an error.
proc step {label command} {
    if {[catch {uplevel 1 $command} result]} {
        puts "$label: FAILED: $result"
        exit 1
    }
    puts "$label: $result"
    return $result
}

write_ppm images/set1/red.ppm 40 20 {255 0 0} {255 0 0}
write_ppm images/set1/orange.ppm 40 20 {255 128 0} {255 128 0}
write_ppm images/set1/green.ppm 40 20 {0 255 0} {0 255 0}
write_ppm images/set1/blue.ppm 40 20 {0 0 255} {0 0 255}
write_ppm images/set1/redblue.ppm 40 20 {255 0 0} {0 0 255}
foreach {image words} {red.ppm {red sports car} orange.ppm {orange car} blue.ppm {blue sky}} {
    set f [open text/set1/$image.txt w]
    puts $f $words
    close $f
}
set env(KivoImagePath) images/set1

# Build: a session on catalog "photos" in database "db", opened for writing
# (the catalog is created if it does not exist).
set kivo [step "start" {kivo_start photos db w}]
foreach feature {KvColorFeatureClass KvColorHistogramFeatureClass KvTextFeatureClass} {
    step "add feature" {kivo_add_feature $kivo $feature}
}
foreach image {red.ppm orange.ppm green.ppm blue.ppm redblue.ppm} {
    step "add image" {kivo_add_image $kivo $image}
}
step "catalog features" {kivo_list_cat_features $kivo}
step "colour records" {kivo_get_cat_records $kivo KvColorFeatureClass}
step "keyword records" {kivo_get_cat_records $kivo KvTextFeatureClass}

# Query: the same session connected read-only, ranking by average colour.
step "connect read-only" {kivo_make_connect $kivo photos db}
step "drop feature" {kivo_delete_feature $kivo KvColorHistogramFeatureClass}
step "drop feature" {kivo_delete_feature $kivo KvTextFeatureClass}
step "results per query" {kivo_set_keys_return $kivo 3}
step "query by image file" {kivo_query_image $kivo redblue.ppm}
step "query by stored key" {kivo_query_key $kivo red.ppm}
kivo_set_keyword $kivo car
step "query by key among the car images" {kivo_query_key $kivo blue.ppm}
kivo_set_keyword $kivo ""
step "colour values of a key" {kivo_key_fdata $kivo green.ppm}

# Thumbnails with the session's size and colour settings.
kivo_set_thumb_size $kivo 20 10
step "thumbnail" {kivo_make_thumb $kivo redblue.ppm thumbs/redblue.gif}
puts "thumbnail size: [gif_size thumbs/redblue.gif]"
kivo_set_thumb_pad $kivo True
kivo_set_thumb_size $kivo 30 30
step "padded thumbnail" {kivo_make_thumb $kivo redblue.ppm thumbs/redblue-pad.gif}
puts "padded thumbnail size: [gif_size thumbs/redblue-pad.gif]"

step "end" {kivo_end $kivo}
