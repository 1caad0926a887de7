"""lullrun's benchmark, which `bench/run` drives: one module per figure
(what it runs, what it measures, its target, and its section of the
report), the harness they share (harness: repetitions, medians, the
machine; groups: control groups and the stand-in manager), and the report
writer, which renders a run's saved data."""

from . import (disk, exits, footprint, group_interference, idle, interference, lookup,
               manager_footprint, manager_start, memory, network, page_cache, starts,
               watch_cost)

# In the report's order.
FIGURES = [interference, exits, starts, footprint, idle, lookup, group_interference, disk,
           manager_start, manager_footprint, memory, watch_cost, network, page_cache]
