# The kivo_* commands' own checks, without a catalog: usage texts, the
# descriptor table and its numbering, and the texts for unknown descriptors.
source [file join [file dirname [info script]] lib.tcl]

puts "## before kivo_start: the usage check comes first, then the table check"
show {kivo_add_feature kivo1 KvColorFeatureClass}
show {kivo_add_feature kivo1}
show {kivo_end kivo1}
show {kivo_set_thumb_size kivo1}
show {kivo_set_keyword kivo1 car}
show {kivo_get_param KvColorFeatureClass kivo1}

puts "## every command with a wrong argument count"
foreach command {
    {kivo_start a}
    {kivo_start a b}
    {kivo_start a b c d}
    {kivo_get_param}
    {kivo_key_fdata kivo1}
    {kivo_key_fdata kivo1 a b}
    {kivo_image_fdata kivo1}
    {kivo_picker_fdata kivo1}
    {kivo_string_fdata kivo1}
    {kivo_add_feature kivo1 a b}
    {kivo_delete_feature kivo1}
    {kivo_delete_feature kivo1 a b}
    {kivo_add_image kivo1}
    {kivo_add_image kivo1 a b}
    {kivo_delete_image kivo1}
    {kivo_delete_image kivo1 a b}
    {kivo_list_cat_features}
    {kivo_get_cat_records kivo1}
    {kivo_query_image kivo1}
    {kivo_query_key kivo1}
    {kivo_set_keys_return kivo1}
    {kivo_set_keys_return kivo1 5 6}
    {kivo_make_connect kivo1 cat}
    {kivo_make_thumb kivo1 in}
    {kivo_make_thumb kivo1 in out extra}
    {kivo_set_keyword kivo1}
    {kivo_set_thumb_24color kivo1 True extra}
    {kivo_set_thumb_24color}
    {kivo_set_thumb_size kivo1 64}
    {kivo_set_thumb_size}
    {kivo_set_thumb_pad kivo1 True extra}
    {kivo_set_thumb_pad}
    {kivo_end}
    {kivo_end kivo1 kivo2}
    {SoundPlay}
} {
    show $command
}

puts "## descriptors are numbered in order and never reused"
show {kivo_start}
show {kivo_start cat db r}
show {kivo_end kivo1}
show {kivo_start}
show {kivo_end kivo1}

puts "## a descriptor that is not in the table"
show {kivo_add_feature kivo1 KvColorFeatureClass}
show {kivo_key_fdata kivo9 key}
show {kivo_query_key kivo1 key}
show {kivo_get_param KvColorFeatureClass kivo1}
show {kivo_set_thumb_size kivo1}
show {kivo_set_thumb_24color kivo1 True}
show {kivo_set_thumb_pad kivo1}
show {kivo_set_keyword kivo1 car}

puts "## the library's messages keep their place among the script's, on both streams"
fconfigure stderr -buffering full
puts stderr "before the library's message"
show {kivo_add_feature kivo3 KvNoSuchFeatureClass}
puts stderr "after the library's message"
show {kivo_add_feature kivo3 KvNoSuchFeatureClass:W=2}
fconfigure stderr -buffering none

puts "## commands on an object without a catalog"
show {kivo_add_feature kivo3 KvColorFeatureClass}
show {kivo_delete_feature kivo3 KvTextFeatureClass}
show {kivo_add_image kivo3 !@rffg00b00}
show {kivo_delete_image kivo3 !@rffg00b00}
show {kivo_list_cat_features kivo3}
show {kivo_get_cat_records kivo3 KvColorFeatureClass}
show {kivo_query_key kivo3 !@rffg00b00}
show {kivo_make_connect kivo3 no/cat db}
show {kivo_make_connect kivo3 cat db}
show {kivo_make_thumb kivo3 missing.ppm out.gif}
show {kivo_set_keys_return kivo3 5}
show {kivo_set_keyword kivo3 car}
show {kivo_set_thumb_24color kivo3 True}
show {kivo_set_thumb_size kivo3 64 48}
show {kivo_set_thumb_pad kivo3 yes}

puts "## parameters: the object's own, else the class defaults"
show {kivo_get_param KvColorFeatureClass}
show {kivo_get_param KvColorFeatureClass kivo3}
show {kivo_add_feature kivo3 KvColorHistogramFeatureClass:W=2:O=1}
show {kivo_get_param KvColorHistogramFeatureClass kivo3}
show {kivo_get_param KvColorHistogramFeatureClass}
show {kivo_get_param KvColorHistogramFeatureClass kivo3 extra}
show {kivo_get_param KvNoSuchFeatureClass}

puts "## feature classes known to the shell"
show {kivo_list_all_features}
show {kivo_list_all_features ignored words}

puts "## processor time in milliseconds"
set before [kivo_clock]
for {set i 0} {$i < 200000} {incr i} {}
set after [kivo_clock]
puts "format: [regexp {^[0-9]+\.[0-9]{6}$} $before] [regexp {^[0-9]+\.[0-9]{6}$} $after]"
puts "runs forward: [expr {$after >= $before}]"
puts "milliseconds, not ticks: [expr {$after < 60000}]"

show {kivo_end kivo2}
show {kivo_end kivo3}
