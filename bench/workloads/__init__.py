"""The bench's workloads, one module each: its sizes (FULL, QUICK), run(bench) and rows(bench)."""
