#!/usr/bin/python3
"""Draws the example picture examples/zent.bmp: a 60 x 30 sky gradient with a
sun and a ground line, saved as a 24-bit BMP (the format every build reads).

Usage: /usr/bin/python3 scripts/make_example.py
"""
import os

from PIL import Image, ImageDraw

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
img = Image.new("RGB", (60, 30))
draw = ImageDraw.Draw(img)
for y in range(30):
    draw.line([(0, y), (59, y)], fill=(40 + y * 4, 90 + y * 3, 200 - y * 2))
draw.ellipse([38, 4, 50, 16], fill=(255, 210, 40))
draw.rectangle([0, 24, 59, 29], fill=(40, 140, 60))
os.makedirs(os.path.join(root, "examples"), exist_ok=True)
img.save(os.path.join(root, "examples", "zent.bmp"))
