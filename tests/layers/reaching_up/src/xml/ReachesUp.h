// A header of the XML layer, for the layer check's own test.
