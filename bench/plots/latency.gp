# Draws the latency distributions that poskavelin_bench wrote as CDF points, one SVG for one
# busy channel and one for all busy channels. bench/run.sh runs it:
#   gnuplot -e "dir='bench/plots'" bench/plots/latency.gp
if (!exists("dir")) dir = "bench/plots"

set terminal svg size 760,440 dynamic font "sans,12" background rgb "white"
set logscale x 10
set format x "%g"
set xlabel "latency from the terminal's send to the DVR's read (µs, log scale)"
set ylabel "fraction of lines at or below"
set yrange [0:1]
set ytics 0.1
set grid xtics ytics mxtics
set key right bottom
set style line 1 lc rgb "#d62728" lw 2
set style line 2 lc rgb "#1f77b4" lw 2
set style line 3 lc rgb "#7f7f7f" lw 2 dt 2

do for [busy in "1 busy"] {
    set output sprintf("%s/latency-%s.svg", dir, busy)
    set title (busy eq "1" ? "Latency, 1 channel busy" : "Latency, 16 channels busy")
    plot sprintf("%s/latency-%s-poskavelin.dat", dir, busy) using 1:2 with lines ls 1 title "poskavelin", \
         sprintf("%s/latency-%s-socat.dat", dir, busy) using 1:2 with lines ls 2 title "socat", \
         sprintf("%s/latency-%s-direct.dat", dir, busy) using 1:2 with lines ls 3 title "direct"
    unset output
}
