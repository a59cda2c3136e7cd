# Per-step latency along each walk for the engine and its peers, from engine_walks' tables.
# gnuplot -e "results='DIR'; output='FILE.png'" bench/walks/plot.gp
videos = "720p 1080p 1080p_hevc"
walks = "back_step_mid back_step_end forward_step_mid forward_step_end random_seek"
set terminal pngcairo size 2400,1500 font ",10" noenhanced
set output output
set multiplot layout words(videos), words(walks) title "Latency per step (ms, log scale): engine vs ffms2 vs plain libavcodec"
set logscale y
set grid ytics
set key top left
set xlabel "step"
set ylabel "ms"
do for [v = 1:words(videos)] {
  do for [w = 1:words(walks)] {
    table = sprintf("%s/steps-%s-%s.tsv", results, word(videos, v), word(walks, w))
    set title sprintf("%s  %s", word(videos, v), word(walks, w))
    if (system("test -s '" . table . "' && echo 1") eq "1") {
      plot table using 1:3 with lines lw 2 lc rgb "#d62728" title "ours", \
           table using 1:4 with lines lw 1 lc rgb "#1f77b4" title "ffms2", \
           table using 1:5 with lines lw 1 lc rgb "#2ca02c" title "libav"
    } else {
      plot [0:1] [1:10] 2 title "not measured" lc rgb "grey"
    }
    set autoscale
  }
}
unset multiplot
