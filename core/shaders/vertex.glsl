attribute vec3 a_param;

varying vec4 texCoord0;
varying vec3 v_param;

void main(void)
{
	gl_Position = gl_ModelViewProjectionMatrix * gl_Vertex;
	texCoord0 = gl_MultiTexCoord0;
	v_param = a_param;
}