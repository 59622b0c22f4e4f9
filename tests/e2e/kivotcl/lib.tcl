# Helpers shared by the kivotcl end-to-end scripts.

# show command: prints the command, runs it in the caller's scope, then prints
# its return code and result. The command line is printed (and flushed by the
# shell) before the command runs, so whatever the command itself writes to
# standard output appears between the two lines.
proc show {command} {
    puts "% $command"
    set code [catch {uplevel 1 $command} result]
    puts "=> $code {$result}"
}

# gif_size file: width x height from a GIF's logical screen descriptor.
proc gif_size {file} {
    set f [open $file r]
    fconfigure $f -translation binary
    binary scan [read $f 10] x6su2 size
    close $f
    return [join $size x]
}

# png_size file: width x height from a PNG's header.
proc png_size {file} {
    set f [open $file r]
    fconfigure $f -translation binary
    binary scan [read $f 24] x16IuIu width height
    close $f
    return ${width}x$height
}

# wait_for_lines file count: waits up to five seconds until file has at least
# count lines; returns its lines (possibly fewer).
proc wait_for_lines {file count} {
    for {set i 0} {$i < 100} {incr i} {
        if {[file exists $file]} {
            set f [open $file r]
            set lines [split [string trimright [read $f] \n] \n]
            close $f
            if {[llength $lines] >= $count} break
        }
        after 50
    }
    if {![info exists lines]} {set lines {}}
    return $lines
}
