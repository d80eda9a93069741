(Sample part: a 20 x 15 outline cut with tool 1, then a hole drilled with tool 3)
G21 G90 G54
T1 M6
S12000 M3
G0 X0 Y0 Z5
G1 Z-1 F600
G1 X20 F1500
G1 Y15
G1 X0
G1 Y0
G0 Z5
T3 M6
S3000 M3
G0 X10 Y7.5
G1 Z-4 F600
G0 Z5
M5
G0 X0 Y0
M30
