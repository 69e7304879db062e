#!/bin/sh
echo "Velnaro DS lab update installer"
