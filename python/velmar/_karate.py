"""Zachary's karate club: 34 members, 78 friendships, two factions.

W. W. Zachary, "An information flow model for conflict and fission in small
groups", Journal of Anthropological Research 33 (1977). Members are numbered
0 to 33; member 0 is the instructor ("Mr. Hi") and member 33 the club's
officer, the two people around whom the club split.
"""

from __future__ import annotations

NUM_MEMBERS = 34

# Each friendship once, as (lower member, higher member).
EDGES: tuple[tuple[int, int], ...] = (
    (0, 1),
    (0, 2),
    (0, 3),
    (0, 4),
    (0, 5),
    (0, 6),
    (0, 7),
    (0, 8),
    (0, 10),
    (0, 11),
    (0, 12),
    (0, 13),
    (0, 17),
    (0, 19),
    (0, 21),
    (0, 31),
    (1, 2),
    (1, 3),
    (1, 7),
    (1, 13),
    (1, 17),
    (1, 19),
    (1, 21),
    (1, 30),
    (2, 3),
    (2, 7),
    (2, 8),
    (2, 9),
    (2, 13),
    (2, 27),
    (2, 28),
    (2, 32),
    (3, 7),
    (3, 12),
    (3, 13),
    (4, 6),
    (4, 10),
    (5, 6),
    (5, 10),
    (5, 16),
    (6, 16),
    (8, 30),
    (8, 32),
    (8, 33),
    (9, 33),
    (13, 33),
    (14, 32),
    (14, 33),
    (15, 32),
    (15, 33),
    (18, 32),
    (18, 33),
    (19, 33),
    (20, 32),
    (20, 33),
    (22, 32),
    (22, 33),
    (23, 25),
    (23, 27),
    (23, 29),
    (23, 32),
    (23, 33),
    (24, 25),
    (24, 27),
    (24, 31),
    (25, 31),
    (26, 29),
    (26, 33),
    (27, 33),
    (28, 31),
    (28, 33),
    (29, 32),
    (29, 33),
    (30, 32),
    (30, 33),
    (31, 32),
    (31, 33),
    (32, 33),
)

FACTION_NAMES = ("Mr. Hi", "Officer")

# The faction each member joined after the split: 0 for Mr. Hi, 1 for the officer.
OFFICER_MEMBERS = frozenset({9, 14, 15, 18, 20, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33})
FACTIONS: tuple[int, ...] = tuple(int(i in OFFICER_MEMBERS) for i in range(NUM_MEMBERS))
