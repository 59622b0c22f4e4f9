# The shell utility commands: host addresses, starting a browser, playing
# sounds. Stand-in programs that record how they were started (a browser, a
# sound player, xdg-open) are made in bin/ by kivotcl.sh.
source [file join [file dirname [info script]] lib.tcl]
set bin [file join [pwd] bin]

# contents file: the lines of file joined by " | ".
proc contents {file} {
    set f [open $file r]
    set text [string trimright [read $f] \n]
    close $f
    return [join [split $text \n] " | "]
}

puts "## host addresses"
show {get_host_ip localhost}
show {get_host_ip ""}
# The machine's own name resolves or not depending on the machine; either
# way the answer is one of the two documented ones.
set code [catch {get_host_ip} address]
puts "own host name: [expr {($code == 0 && [regexp {^[0-9]+(\.[0-9]+){3}$} $address]) ||
                            ($code == 1 && $address eq {Can't get Host Info})}]"

puts "## no browser: an empty PATH and no BROWSER setting"
unset -nocomplain env(BROWSER)
set env(PATH) ""
show {start_browser}
show {start_browser http://localhost/}
show {start_browser too many}

puts "## the BROWSER setting names the browser, by path or along PATH"
set env(BROWSER) $bin/fakebrowser
show {start_browser too many}
show {start_browser http://localhost/index.html}
puts "started: [join [wait_for_lines browsed.txt 1] { | }]"
set env(PATH) $bin
set env(BROWSER) "nosuchbrowser:fakebrowser --new-window %s"
show {start_browser}
puts "started: [join [wait_for_lines browsed.txt 2] { | }]"

puts "## then xdg-open"
unset env(BROWSER)
show {start_browser page.html}
puts "started: [join [wait_for_lines browsed.txt 3] { | }]"

puts "## sounds without a player do nothing"
set env(PATH) ""
show {SoundPlay sound.wav}
show {SoundPlay sound.wav wait}
show {SoundStop}

puts "## sounds through the first player on the PATH"
set env(PATH) $bin
show {SoundPlay first.wav wait}
puts "played before SoundPlay returned: [contents played.txt]"
set start [clock milliseconds]
show {SoundPlay slow.wav}
puts "returned at once: [expr {[clock milliseconds] - $start < 3000}]"
puts "playing: [join [wait_for_lines played.txt 2] { | }]"
show {SoundPlay skipped.wav wait}
set start [clock milliseconds]
show {SoundStop}
puts "stopped at once: [expr {[clock milliseconds] - $start < 3000}]"
show {SoundPlay last.wav wait}
puts "played: [contents played.txt]"
