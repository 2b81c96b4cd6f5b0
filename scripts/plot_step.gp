# The torque step of a logger dump: requested and measured q current, the observer's q-current
# estimate and the d current, in amperes over milliseconds.
#   gnuplot -e "csv='step.csv'; out='step'" scripts/plot_step.gp   -> step.png and step.svg
# The CSV is the one `tavrix log dump --csv` writes: time_s, then the 18 record words (raw).
# Currents are Q31 fractions of a full scale of 2048 sensor counts; the observer's states are
# those shifted right by 15. `counts_per_a` is the board's sensor gain (the reference drive's).
if (!exists("csv")) csv = 'step.csv'
if (!exists("out")) out = 'step'
if (!exists("counts_per_a")) counts_per_a = 232.5
a_per_q31 = 1.0 / (1048576.0 * counts_per_a)
a_per_state = 32768.0 * a_per_q31

set datafile separator ','
set key autotitle columnhead top right
set termoption noenhanced
set title 'torque step recorded by the drive (logger dump)'
set xlabel 'time (ms)'
set ylabel 'current (A)'
set grid
set key title ''
plot_cmd = "plot csv using ($1*1000):($9*a_per_q31) with lines lw 2 title 'q current requested', " . \
           "'' using ($1*1000):($11*a_per_q31) with lines title 'q current measured', " . \
           "'' using ($1*1000):($16*a_per_state) with lines dt 2 title 'q current, observer estimate', " . \
           "'' using ($1*1000):($10*a_per_q31) with lines title 'd current measured'"

set terminal pngcairo size 1000,600
set output out.'.png'
eval plot_cmd
set terminal svg size 1000,600
set output out.'.svg'
eval plot_cmd
