"""vardimont: a distributed actor runtime; its networking core is vardimont._core."""
