# Sessions on a real catalog of image files: building, queries by image, key,
# keyword and description, feature values, thumbnails, the four tool
# commands, and several sessions sharing the process's one connection. The
# image files, masks and keyword texts are made by kivotcl.sh.
source [file join [file dirname [info script]] lib.tcl]
set env(KivoImagePath) images/set1
set env(KivoMaskPath) images/set1

puts "## building a catalog through a session"
show {set build [kivo_start pics db w]}
show {kivo_add_feature $build KvColorFeatureClass}
show {kivo_add_feature $build KvTextFeatureClass}
foreach image {red.ppm orange.ppm blue.ppm} {
    show {kivo_add_image $build $image}
}
show {kivo_add_image $build red.ppm}
show {kivo_add_image $build missing.ppm}
show {kivo_get_cat_records $build KvTextFeatureClass}

puts "## keyword texts are also looked up along env(KivoTextPath), read at each kivo_add_image"
set env(KivoTextPath) [pwd]/words/
show {kivo_add_image $build redblue.ppm}
unset env(KivoTextPath)
show {kivo_add_image $build green.ppm}
show {kivo_get_cat_records $build KvTextFeatureClass}
show {kivo_get_cat_records $build KvColorFeatureClass}
show {kivo_get_cat_records $build KvTextureFeatureClass}
show {kivo_list_cat_features $build}

puts "## a second session queries the catalog read-only"
show {set query [kivo_start pics db r]}
show {kivo_add_feature $query KvColorFeatureClass}
show {kivo_set_keys_return $query 3}
show {kivo_query_image $query redblue.ppm}
show {kivo_query_key $query red.ppm}
show {kivo_query_key $query nokey}
show {kivo_query_image $query missing.ppm}
show {kivo_set_keyword $query car}
show {kivo_query_key $query blue.ppm}
show {kivo_set_keyword $query sky}
show {kivo_query_image $query red.ppm}
show {kivo_set_keyword $query ""}
show {kivo_set_keys_return $query 2}
show {kivo_query_key $query green.ppm}

puts "## feature values"
show {kivo_key_fdata $query red.ppm}
show {kivo_image_fdata $query green.ppm}
show {kivo_string_fdata $query {D100 80 R0 0 100 80 255 0 0}}
show {kivo_picker_fdata $query blue.ppm}
show {kivo_image_fdata $query missing.ppm}
show {kivo_key_fdata $query nokey}

puts "## deleting images and features"
show {kivo_delete_image $build green.ppm}
show {kivo_delete_image $build green.ppm}
show {kivo_get_cat_records $build KvColorFeatureClass}
show {kivo_query_key $query green.ppm}
show {kivo_delete_feature $build KvTextFeatureClass}
show {kivo_delete_feature $build KvTextFeatureClass}

puts "## thumbnails with the session's settings"
show {kivo_set_thumb_size $query 20 10}
show {kivo_make_thumb $query redblue.ppm thumbs/small.gif}
puts "size: [gif_size thumbs/small.gif]"
show {kivo_set_thumb_size $query}
show {kivo_make_thumb $query redblue.ppm thumbs/default.gif}
puts "size: [gif_size thumbs/default.gif]"
show {kivo_set_thumb_pad $query True}
show {kivo_make_thumb $query redblue.ppm thumbs/padded.gif}
puts "size: [gif_size thumbs/padded.gif]"
show {kivo_set_thumb_pad $query}
show {kivo_set_thumb_24color $query True}
show {kivo_make_thumb $query redblue.ppm thumbs/true.png}
puts "size: [png_size thumbs/true.png]"
show {kivo_set_thumb_24color $query}
show {kivo_make_thumb $query missing.ppm thumbs/missing.gif}

puts "## the tool commands (element 0 of their arguments is the command name)"
show {KvMkDbs -d db -c parts -f KvColorSubPartFeatureClass -f KvColorFeatureClass +p flag.ppm ( left.ppm right.ppm ) red.ppm}
show {KvMkDbs -d db -c parts red.ppm missing.ppm}
show {set parts [kivo_start parts db r]}
show {kivo_add_feature $parts KvColorSubPartFeatureClass}
show {kivo_query_image $parts flag.ppm left.ppm}
show {KvQBE -d db -c pics -f KvColorFeatureClass -i red.ppm -n 2}
show {KvQBE -d db -c pics -l}
show {KvQBE -d db -c pics -f KvColorFeatureClass -i nokey}
show {KvMkThmb -w 20 -h 10 redblue.ppm thumbs/tool.gif}
puts "size: [gif_size thumbs/tool.gif]"
show {KvMkThmb missing.ppm thumbs/missing.gif}
show {KvDumpDb -d db FeatIdx.parts}
show {KvDumpDb -c pics -d db -f KvColorFeatureClass}
show {KvDumpDb -d db NoSuchTable}

puts "## sessions go on after the tool commands released the shared connection"
show {kivo_query_key $query red.ppm}
show {kivo_add_image $build green.ppm}
show {kivo_get_cat_records $build KvColorFeatureClass}

puts "## sessions on two databases take the connection in turn"
show {set other [kivo_start pics db2 w]}
show {kivo_add_feature $other KvColorFeatureClass}
show {kivo_add_image $other blue.ppm}
show {kivo_query_key $query red.ppm}
show {kivo_get_cat_records $other KvColorFeatureClass}
show {kivo_get_cat_records $build KvColorFeatureClass}

puts "## ending one session leaves the others working"
show {kivo_end $build}
show {kivo_query_key $query red.ppm}
show {kivo_end $other}
show {kivo_list_cat_features $query}
show {kivo_query_image $parts flag.ppm right.ppm}

puts "## a setting made by a tool command's -e outlives the command's arguments"
show {KvMkThmb -e KivoImagePath=images/set2 -w 10 -h 10 yellow.ppm thumbs/yellow.gif}
show {kivo_make_thumb $query yellow.ppm thumbs/yellow2.gif}
puts "size: [gif_size thumbs/yellow2.gif]"
show {kivo_end $query}
show {kivo_end $parts}
