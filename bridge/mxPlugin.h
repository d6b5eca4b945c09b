// Members added to cimg_library::CImg<T>: conversion from and to MATLAB arrays.
// Included inside the class body by the image library (cimg_plugin).
